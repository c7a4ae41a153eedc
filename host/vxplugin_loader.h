#ifndef VX_PLUGIN_LOADER_H
#define VX_PLUGIN_LOADER_H

#include <map>
#include <memory>
#include <string>

#include "vxplugin.h"

// Asks an instance to stop before deleting it, as the agent does: a plug-in's
// destructor joins its thread, which ends only once asked to.
struct vxPluginStopAndDelete {
    void operator()(vxPlugin *plugin) const;
};
using vxPluginOwner = std::unique_ptr<vxPlugin, vxPluginStopAndDelete>;
using vxPluginSinkOwner = std::unique_ptr<vxPluginSink, vxPluginStopAndDelete>;

// A plug-in library opened and checked the way the agent does it: loaded
// with every symbol bound at once, its exported ABI record matched against
// this library's interface, and its factory found. Every refusal throws a
// vxException whose text starts with the library's path.
//
// The library stays loaded for the rest of the process, whatever becomes of
// this object: code it registered with the C runtime or libcurl may still run
// at exit. Opening the same path again shares the one copy.
class vxPluginLibrary
{
public:
    explicit vxPluginLibrary(const std::string &path);
    vxPluginLibrary(const vxPluginLibrary &) = delete;
    vxPluginLibrary &operator=(const vxPluginLibrary &) = delete;

    const std::string &Path() const { return path; }
    vxPluginInitFunction Factory() const { return init; }
    // An exported symbol of the library, or null.
    void *Symbol(const char *name) const;

    // A new instance made by the factory, not started. Throws when the
    // factory throws or makes nothing.
    vxPluginOwner Create(const std::string &tag,
        const std::map<std::string, std::string> &params) const;
    // The same for a sink; also throws when the instance is of another kind.
    vxPluginSinkOwner CreateSink(const std::string &tag,
        const std::map<std::string, std::string> &params) const;

private:
    std::string path;
    void *handle = nullptr;
    vxPluginInitFunction init = nullptr;
};

#endif
