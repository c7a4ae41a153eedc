#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "vxexception.h"
#include "vxplugin_loader.h"

namespace {

uint32_t LittleEndianWord(const unsigned char *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
        (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%08x", value);
    return text;
}

// Checks the exported ABI record before anything trusts the factory.
// Returns why the record does not match, or an empty string.
std::string CheckAbiRecord(const void *symbol)
{
    // Where the dynamic loader knows the symbol's size, never read past it:
    // a library that exports a shorter object of that name is simply wrong.
    Dl_info info;
    void *found = nullptr;
    const ElfW(Sym) *entry = nullptr;
    if (dladdr1(symbol, &info, &found, RTLD_DL_SYMENT) != 0)
        entry = static_cast<const ElfW(Sym) *>(found);
    if (entry != nullptr && entry->st_size != 0 && entry->st_size < sizeof(vxPluginABI)) {
        return "ABI record is " + std::to_string(entry->st_size) + " bytes, expected " +
            std::to_string(sizeof(vxPluginABI));
    }

    // The record's words are little-endian whatever the machine.
    unsigned char bytes[sizeof(vxPluginABI)];
    memcpy(bytes, symbol, sizeof(bytes));
    const uint32_t magic = LittleEndianWord(bytes);
    const uint32_t size = LittleEndianWord(bytes + 4);
    const uint32_t abi = LittleEndianWord(bytes + 8);
    const uint32_t version = LittleEndianWord(bytes + 12);

    if (magic != VX_PLUGIN_ABI_MAGIC) return "ABI record magic is " + Hex(magic) + ", expected \"BAXV\"";
    if (size != sizeof(vxPluginABI))
        return "ABI record size is " + std::to_string(size) + ", expected " + std::to_string(sizeof(vxPluginABI));
    if (abi != VX_ABI_VERSION)
        return "built for agent ABI " + std::to_string(abi) + ", this host has " + std::to_string(VX_ABI_VERSION);
    if (version != VX_PLUGIN_VERSION)
        return "plug-in interface " + Hex(version) + ", this host has " + Hex(VX_PLUGIN_VERSION);
    return "";
}

} // namespace

void vxPluginStopAndDelete::operator()(vxPlugin *plugin) const
{
    plugin->Terminate();
    delete plugin;
}

vxPluginLibrary::vxPluginLibrary(const std::string &path) : path(path)
{
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = dlerror();
        throw vxException("%s: cannot load plug-in: %s", path.c_str(), why ? why : "unknown error");
    }
    const void *abi = dlsym(handle, "vx_plugin_abi");
    if (abi == nullptr) throw vxException("%s: not a plug-in: no vx_plugin_abi record", path.c_str());
    if (std::string why = CheckAbiRecord(abi); !why.empty())
        throw vxException("%s: refused: %s", path.c_str(), why.c_str());
    init = reinterpret_cast<vxPluginInitFunction>(dlsym(handle, "vxPluginInit"));
    if (init == nullptr) throw vxException("%s: not a plug-in: no vxPluginInit factory", path.c_str());
}

void *vxPluginLibrary::Symbol(const char *name) const { return dlsym(handle, name); }

vxPluginOwner vxPluginLibrary::Create(const std::string &tag,
    const std::map<std::string, std::string> &params) const
{
    vxPluginOwner instance;
    try {
        instance.reset(init(tag, params));
    }
    catch (const std::exception &e) {
        throw vxException("%s: factory failed: %s", path.c_str(), e.what());
    }
    if (!instance)
        throw vxException("%s: factory refused to create instance '%s'", path.c_str(), tag.c_str());
    return instance;
}

vxPluginSinkOwner vxPluginLibrary::CreateSink(const std::string &tag,
    const std::map<std::string, std::string> &params) const
{
    vxPluginOwner instance = Create(tag, params);
    auto *sink = dynamic_cast<vxPluginSink *>(instance.get());
    if (sink == nullptr) throw vxException("%s: not a sink plug-in", path.c_str());
    instance.release();
    return vxPluginSinkOwner(sink);
}
