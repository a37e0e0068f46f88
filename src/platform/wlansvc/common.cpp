// The helpers shared by the two service libraries (see common.h): GUID conversions and text,
// interface lookup by a caller's GUID pointer, the trace line of each entry point, and under Wine
// the loader hook that lets the machine refuse a library.
#include "common.h"

#include <bit>

#include "simbook/bytes.h"
#include "simbook/trace.h"

namespace wlansvc {

static_assert(sizeof(GUID) == sizeof(Guid), "a Win32 GUID and a machine's Guid share a layout");

Guid FromGuid(const GUID& guid) {
    return std::bit_cast<Guid>(guid);
}

GUID ToGuid(const Guid& guid) {
    return std::bit_cast<GUID>(guid);
}

std::string GuidText(const GUID& guid) {
    return simbook::GuidText(FromGuid(guid));
}

const WlanInterface* FindInterface(const Machine* machine, const GUID* guid) {
    return guid == nullptr ? nullptr : simbook::wlan::FindInterface(machine, FromGuid(*guid));
}

void TraceCall(const char* op, nlohmann::ordered_json fields, std::optional<DWORD> result) {
    if (!simbook::TraceEnabled()) {
        return;
    }
    try {
        nlohmann::ordered_json line = {{"op", op}};
        line.update(fields);
        if (result) {
            line["result"] = *result;
        }
        simbook::TraceLine(line);
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
        const Machine* machine = simbook::CurrentMachine();
        bool loaded = machine != nullptr && machine->wlan.*enabled;
        // A refused load reaches the caller as a failed library initialisation.
        simbook::TraceLine({{"op", "LoadLibraryW"},
                            {"library", file},
                            {"result", loaded},
                            {"last_error", loaded ? 0 : ERROR_DLL_INIT_FAILED}});
        g_attached = loaded;
        return loaded ? TRUE : FALSE;
    }
    // A refused load is detached again by the loader; only a library that loaded is unloaded.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr && g_attached) {
        simbook::TraceLine({{"op", "FreeLibrary"}, {"library", file}, {"result", true}});
    }
    return TRUE;
}
#endif

} // namespace wlansvc
