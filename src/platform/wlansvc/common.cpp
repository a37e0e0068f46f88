#include "common.h"

#include <cstdio>
#include <cstring>

#include "simbook/trace.h"

namespace simbook::wlan {

std::string GuidText(const GUID& g) {
    char text[39];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

bool SameGuid(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

GUID ToGuid(const Guid& guid) {
    static_assert(sizeof(GUID) == sizeof(Guid));
    GUID out;
    std::memcpy(&out, &guid, sizeof out);
    return out;
}

const WlanInterface* FindInterface(const Machine* machine, const GUID* guid) {
    if (machine == nullptr || guid == nullptr) {
        return nullptr;
    }
    for (const WlanInterface& itf : machine->wlan.interfaces) {
        if (SameGuid(ToGuid(itf.guid), *guid)) {
            return &itf;
        }
    }
    return nullptr;
}

void TraceCall(const char* op, nlohmann::ordered_json fields, std::optional<DWORD> result) {
    if (!TraceEnabled()) {
        return;
    }
    try {
        nlohmann::ordered_json line;
        line["op"] = op;
        for (auto it = fields.begin(); it != fields.end(); ++it) {
            line[it.key()] = it.value();
        }
        if (result) {
            line["result"] = *result;
        }
        TraceLine(line.dump());
    } catch (...) {
        // Out of memory while tracing: the call itself still answers.
    }
}

nlohmann::ordered_json GuidField(const GUID* guid) {
    return guid == nullptr ? nlohmann::ordered_json(nullptr)
                           : nlohmann::ordered_json(GuidText(*guid));
}

#ifdef _WIN32
namespace {
bool g_attached = false; // this library's load went through
} // namespace

BOOL LoaderEvent(DWORD reason, LPVOID reserved, const char* file, bool Machine::Wlan::*enabled) {
    if (reason == DLL_PROCESS_ATTACH) {
        const Machine* machine = CurrentMachine();
        bool loaded = machine != nullptr && machine->wlan.*enabled;
        if (TraceEnabled()) {
            // A refused load reaches the caller as a failed library initialisation.
            TraceLine(std::string("{\"op\":\"LoadLibraryW\",\"library\":\"") + file +
                      "\",\"result\":" + (loaded ? "true" : "false") + ",\"last_error\":" +
                      std::to_string(loaded ? 0 : ERROR_DLL_INIT_FAILED) + "}");
        }
        g_attached = loaded;
        return loaded ? TRUE : FALSE;
    }
    // A refused load is detached again by the loader; only a library that loaded is unloaded.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr && g_attached && TraceEnabled()) {
        TraceLine(std::string("{\"op\":\"FreeLibrary\",\"library\":\"") + file +
                  "\",\"result\":true}");
    }
    return TRUE;
}
#endif

} // namespace simbook::wlan
