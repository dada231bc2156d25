// host/main.cpp — stormcontrol-agent: serves the plug-in's storm-control table over SNMP.
///
/// The daemon allocates through jemalloc (linked in the optimised build), which reads its
/// settings from `malloc_conf`: freed pages stay for reuse for up to ten seconds of activity,
/// so the blocks net-snmp allocates and frees on every request cost no page faults. The large
/// transient buffers of a state file's load are returned once it is applied (StateSource.cpp),
/// so resident memory follows the table without a background thread.
#include "host/process/Daemon.h"

extern "C" {
extern const char* malloc_conf;
const char* malloc_conf = "dirty_decay_ms:10000,muzzy_decay_ms:0";
}

int main(int argc, char** argv) { return Host::runDaemon(argc, argv); }
