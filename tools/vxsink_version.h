// vxsink --version: what this host is, what it runs with, and which plug-in.
#ifndef VXSINK_VERSION_H
#define VXSINK_VERSION_H

#include <string>

// Prints vxsink's version, the agent library's and libcurl's to standard
// output; with a plug-in path (empty: none), also the plug-in's library name,
// display name and version, as an instance of it answers them. The plug-in
// is loaded and checked as for a run, and its instance is never started.
// Returns the exit status: 0, or 1 when the plug-in cannot be asked.
int vxsinkPrintVersion(const std::string &plugin);

#endif
