#include "wlan_choice.h"

#include "simbook/machine.h"

namespace simbook_wine {

std::string HiddenWlanLibraries() {
    const simbook::Machine* machine = simbook::CurrentMachine();
    std::string out;
    if (machine == nullptr) {
        return out;
    }
    if (!machine->wlan.library) {
        out = "wlanapi=d";
    }
    if (!machine->wlan.uiLibrary) {
        out += out.empty() ? "wlanui=d" : ",wlanui=d";
    }
    return out;
}

} // namespace simbook_wine
