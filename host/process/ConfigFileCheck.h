// host/process/ConfigFileCheck.h — refuses a -C file that net-snmp's reader would block or spin on.
///
/// net-snmp opens the -C file, and every file its include directives name, with fopen and reads
/// it line by line, whatever kind of file it is: a FIFO holds the start-up until a writer comes,
/// and a device such as /dev/zero feeds it one endless line. So before the library sees the -C
/// file, every file it would read must be a regular file, symlinks followed:
/// - the -C file itself (which must also be readable);
/// - each `includeFile` (an absolute path, or one relative to the including file's folder);
/// - each entry of an `includeDir` folder that net-snmp reads (not starting with '.', ending in
///   ".conf");
/// and the files these include, each file scanned once. Lines are cut and split as the library
/// does (its line buffer, its `skip_white` and `copy_nword`), so the check sees the directives
/// the library will act on. `includeSearch` is refused: the daemon has no configuration path,
/// so it could reach only the persistent directory, which holds net-snmp's state.
/// A name holding ',' or starting with '-' is refused too: net-snmp reads the first as a list
/// of files and drops the '-' of the second. An included file or folder that does not exist or
/// cannot be read is left to net-snmp, which reports it and goes on.
#pragma once

#include <string>

namespace Host {

/// True when net-snmp may read `path` as the -C file; else false with `error`, one line
/// starting with "-C: ", set.
bool checkConfigFile(const std::string& path, std::string& error);

}  // namespace Host
