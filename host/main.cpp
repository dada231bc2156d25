// host/main.cpp — stormcontrol-agent: serves the plug-in's storm-control table over SNMP.
#include "host/process/Daemon.h"

int main(int argc, char** argv) { return Host::runDaemon(argc, argv); }
