// host/process/Daemon.h — the agent daemon as a whole: what `main` runs.
#pragma once

namespace Host {

/// Parses the command line, starts the daemon, serves until SIGTERM or SIGINT and shuts down.
/// Returns the process's exit status: 0 after a clean shutdown (or --help, --version), 2 for a
/// bad command line or state file, 1 for any other start-up failure.
int runDaemon(int argc, char** argv);

}  // namespace Host
