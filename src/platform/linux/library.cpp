// Provides: LoadLibraryW, GetProcAddress, FreeLibrary.
//
// The stand-in knows two libraries, the simulated Wi-Fi service's "WlanApi.dll" and
// "WlanUi.dll", found by bare name compared without regard to case, with or without the ".dll"
// extension. They are the shared objects simbook_wlanapi.so and simbook_wlanui.so, opened with
// dlopen from the directory of the running executable (in an installed tree, from the private
// library folder beside it, SIMBOOK_INSTALLED_LIBRARY_DIR relative to bin), or from
// SIMBOOK_LIBRARY_DIR when that is set. Not supported: paths,
// any other library (ERROR_MOD_NOT_FOUND), ordinals and the null module in GetProcAddress
// (ERROR_PROC_NOT_FOUND).
//
// The machine file decides what a run sees: `wlan.library` / `wlan.ui_library` false, or a
// machine file that cannot be read, make the load fail with ERROR_MOD_NOT_FOUND, and the names in
// `wlan.missing_entries` are not found by GetProcAddress (ERROR_PROC_NOT_FOUND). Only the
// library's own entry points are ever looked up, never other symbols the shared object can reach.
//
// As on Windows, loading a library that is already loaded returns the same module handle and
// counts a reference; FreeLibrary unloads it when the last reference goes.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cwctype>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "handles.h"
#include "platform/wlan_entries.h"
#include "simbook/machine.h"
#include "simbook/trace.h"

namespace {

struct LibraryInfo {
    const wchar_t* name; // lower case, without ".dll"
    const char* file;
    std::vector<const char*> exports;
};

#define NWT_ENTRY_NAME(name) #name,
const LibraryInfo kLibraries[] = {
    {L"wlanapi", "simbook_wlanapi.so", {NWT_WLANAPI_ENTRIES(NWT_ENTRY_NAME)}},
    {L"wlanui", "simbook_wlanui.so", {NWT_WLANUI_ENTRIES(NWT_ENTRY_NAME)}},
};
#undef NWT_ENTRY_NAME

struct Module : platform::KernelObject {
    bool ClosedByCloseHandle() const override { return false; }
    const LibraryInfo* info = nullptr;
    void* dl = nullptr;
    HMODULE handle = nullptr;
    int references = 0;
};

std::mutex g_mutex;
std::shared_ptr<Module> g_loaded[std::size(kLibraries)];

const LibraryInfo* Identify(LPCWSTR name) {
    std::wstring lower;
    for (const wchar_t* p = name; *p != L'\0'; ++p) {
        if (lower.size() > 64) {
            return nullptr;
        }
        lower.push_back(static_cast<wchar_t>(std::towlower(static_cast<wint_t>(*p))));
    }
    if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, L".dll") == 0) {
        lower.resize(lower.size() - 4);
    }
    for (const LibraryInfo& info : kLibraries) {
        if (lower == info.name) {
            return &info;
        }
    }
    return nullptr;
}

std::string LibraryDirectory() {
    if (const char* dir = std::getenv("SIMBOOK_LIBRARY_DIR"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    std::vector<char> path(PATH_MAX + 1);
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) {
        return ".";
    }
    std::string exe(path.data(), static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    std::string dir = slash == std::string::npos ? "." : exe.substr(0, slash);
    // An installed tree keeps the libraries in a private folder of <prefix>/lib, which the
    // dynamic linker's cache never lists: <prefix>/lib/<multiarch triplet>/simbook.
    std::string installed = dir + "/" SIMBOOK_INSTALLED_LIBRARY_DIR;
    if (access((dir + "/" + kLibraries[0].file).c_str(), F_OK) != 0 &&
        access((installed + "/" + kLibraries[0].file).c_str(), F_OK) == 0) {
        return installed;
    }
    return dir;
}

bool Hidden(const LibraryInfo& info, const simbook::Machine& machine) {
    return &info == &kLibraries[0] ? !machine.wlan.library : !machine.wlan.uiLibrary;
}

void ReportLoadFailure(const std::string& path, const char* reason) {
    static std::atomic<bool> reported{false};
    if (reported.exchange(true)) {
        return;
    }
    std::string why = reason == nullptr ? "unknown error" : reason;
    if (why.rfind(path + ": ", 0) == 0) {
        why.erase(0, path.size() + 2); // the loader's text names the file again
    }
    const char* dir = std::getenv("SIMBOOK_LIBRARY_DIR");
    simbook::ReportProblem(
        path, std::string("cannot load the Wi-Fi service library") +
                  (dir != nullptr && *dir != '\0' ? " (SIMBOOK_LIBRARY_DIR)" : "") + ": " + why);
}

void TraceLoad(const LibraryInfo* info, bool loaded) {
    if (!simbook::TraceEnabled()) {
        return;
    }
    simbook::TraceLine({{"op", "LoadLibraryW"},
                        {"library", info == nullptr ? "unknown" : info->file},
                        {"result", loaded},
                        {"last_error", loaded ? 0 : GetLastError()}});
}

} // namespace

extern "C" HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    if (lpLibFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const LibraryInfo* info = Identify(lpLibFileName);
    const simbook::Machine* machine = info == nullptr ? nullptr : simbook::CurrentMachine();
    if (info == nullptr || machine == nullptr || Hidden(*info, *machine)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        TraceLoad(info, false);
        return nullptr;
    }
    HMODULE handle = nullptr;
    try {
        std::lock_guard<std::mutex> lock(g_mutex);
        std::shared_ptr<Module>& slot = g_loaded[info - kLibraries];
        if (slot) {
            ++slot->references;
            return slot->handle;
        }
        std::string path = LibraryDirectory() + "/" + info->file;
        void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (dl == nullptr) {
            // The machine offers the library, so this is a broken build or install: say so on
            // standard error, which the programs' verdict lines never use, once per process
            // (both libraries come from one folder, so the cause is the same).
            ReportLoadFailure(path, dlerror());
            SetLastError(ERROR_MOD_NOT_FOUND);
            TraceLoad(info, false);
            return nullptr;
        }
        auto module = std::make_shared<Module>();
        module->info = info;
        module->dl = dl;
        module->references = 1;
        module->handle = static_cast<HMODULE>(platform::InsertHandle(module));
        handle = module->handle;
        slot = module;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    TraceLoad(info, true);
    return handle;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    auto module = platform::FindHandleAs<Module>(hModule);
    if (!module) {
        SetLastError(hModule == nullptr ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Values below 0x10000 are ordinals, not pointers to names.
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    std::string name(lpProcName);
    const auto& exports = module->info->exports;
    bool exported =
        std::any_of(exports.begin(), exports.end(), [&](const char* e) { return name == e; });
    const simbook::Machine* machine = simbook::CurrentMachine();
    bool hidden = machine == nullptr || std::find(machine->wlan.missingEntries.begin(),
                                                  machine->wlan.missingEntries.end(),
                                                  name) != machine->wlan.missingEntries.end();
    void* symbol = exported && !hidden ? dlsym(module->dl, name.c_str()) : nullptr;
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    std::shared_ptr<Module> doomed;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto module = platform::FindHandleAs<Module>(hLibModule);
        if (!module) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--module->references > 0) {
            return TRUE;
        }
        platform::EraseHandle(hLibModule);
        g_loaded[module->info - kLibraries].reset();
        doomed = std::move(module);
    }
    // Unloading runs the library's own shutdown (its notification thread ends), outside the lock.
    dlclose(doomed->dl);
    simbook::TraceLine({{"op", "FreeLibrary"}, {"library", doomed->info->file}, {"result", true}});
    return TRUE;
}
