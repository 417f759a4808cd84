#pragma once

#include "platform/message_icon.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// The machine's IPv4 addresses in dotted-decimal text: those of the interfaces that are up, in
// the system's order, loopback addresses after all others. nullopt when the interfaces cannot be
// listed.
std::optional<std::vector<std::string>> EnumerateLocalIPv4Addresses();

using LocalAddressEnumerator = std::function<std::optional<std::vector<std::string>>()>;

// The two address combo boxes of the main dialog, as the address list fills them.
class AddressListTarget {
public:
    virtual ~AddressListTarget() = default;
    // Inserts `text` at `index` of the list of combo box `comboId`, whatever its sort style.
    virtual void InsertString(int comboId, int index, const std::string& text) = 0;
    // Selects entry `index` of combo box `comboId`, showing it in the field.
    virtual void SetCurSel(int comboId, int index) = 0;
    // A modal message box without owner window.
    virtual void MessageBox(const std::string& text, const std::string& caption,
                            MessageIcon icon) = 0;
};

// Offers the local addresses in both combo boxes (1004, then 1005, at the same positions) and
// shows the first in each. When the addresses cannot be had, says so and leaves both empty.
void FillLocalAddresses(AddressListTarget& target,
                        const LocalAddressEnumerator& enumerate = EnumerateLocalIPv4Addresses);
