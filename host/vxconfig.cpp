#include "vxconfig.h"
#include "vxexception.h"

std::atomic<vxGlobalConfig *> vxGlobalConfig::instance{ nullptr };

vxGlobalConfig &vxGlobalConfig::GetInstance()
{
    vxGlobalConfig *config = instance.load();
    if (config == nullptr) {
        throw vxException("%s: instance not found",
            "static vxGlobalConfig &vxGlobalConfig::GetInstance()");
    }
    return *config;
}

void vxGlobalConfig::SetInstance(vxGlobalConfig *config) { instance = config; }

bool vxGlobalConfig::LoadUUID(vxUUID type, std::string &uuid)
{
    std::lock_guard<std::mutex> guard(uuid_lock);
    auto it = uuids.find(type);
    if (it == uuids.end()) {
        uuid.clear();
        return false;
    }
    uuid = it->second;
    return true;
}

void vxGlobalConfig::SetUUID(vxUUID type, const std::string &uuid)
{
    // Kept as stored, trailing line break and all, as an agent's own files
    // may hold them: readers must not count on a clean identifier.
    std::lock_guard<std::mutex> guard(uuid_lock);
    uuids[type] = uuid;
}
