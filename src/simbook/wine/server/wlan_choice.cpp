#include "wlan_choice.h"

#include "simbook/machine.h"

namespace simbook_wine {

HiddenLibraries HiddenWlanLibraries() {
    const simbook::Machine* machine = simbook::CurrentMachine();
    HiddenLibraries hidden;
    if (machine != nullptr) {
        hidden.wlanapi = !machine->wlan.library;
        hidden.wlanui = !machine->wlan.uiLibrary;
    }
    return hidden;
}

} // namespace simbook_wine
