// host/main.cpp — stormcontrol-agent: serves the plug-in's storm-control table over SNMP.
///
/// The daemon allocates through jemalloc (linked in the optimised build), which reads its
/// settings from `malloc_conf`: freed pages go back to the kernel at once, so resident memory
/// follows the table with no background thread and no decay that an idle daemon never reaches.
#include "host/process/Daemon.h"

extern "C" {
extern const char* malloc_conf;
const char* malloc_conf = "dirty_decay_ms:0,muzzy_decay_ms:0";
}

int main(int argc, char** argv) { return Host::runDaemon(argc, argv); }
