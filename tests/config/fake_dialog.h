#pragma once

#include "config/local_addresses.h"
#include "config/parameter_dialog.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Stands in for the main dialog: keeps check states, combo texts, port edits and port members,
// and records every call in order, so tests can check both the outcome and the steps.
class FakeDialog : public ParameterDialog, public AddressListTarget {
public:
    // UpdateData(true) copies these edit texts (as numbers) into the members unless a port is
    // marked refused; UpdateData(false) shows the members in the edits.
    std::map<int, std::uint32_t> portEdits{{1022, 0}, {1024, 0}};
    std::map<int, std::uint32_t> portMembers{{1022, 0}, {1024, 0}};
    bool refusePorts = false;
    std::map<int, int> checks{{1000, 0}, {1001, 0}, {1015, 0}, {1018, 0}};
    std::map<int, std::string> texts{{1004, ""}, {1005, ""}};
    std::map<int, std::vector<std::string>> lists{{1004, {}}, {1005, {}}};
    std::map<int, int> selections{{1004, -1}, {1005, -1}};
    mutable std::vector<std::string> calls;

    bool UpdateData(bool saveAndValidate) override {
        calls.push_back(saveAndValidate ? "UpdateData(1)" : "UpdateData(0)");
        if (!saveAndValidate) {
            portEdits = portMembers;
            return true;
        }
        if (refusePorts) {
            return false;
        }
        portMembers = portEdits;
        return true;
    }
    int GetCheck(int id) const override {
        calls.push_back("GetCheck(" + std::to_string(id) + ")");
        return checks.at(id);
    }
    void SetCheck(int id, int state) override {
        calls.push_back("SetCheck(" + std::to_string(id) + "," + std::to_string(state) + ")");
        checks.at(id) = state;
    }
    std::string GetComboText(int id) const override {
        calls.push_back("GetComboText(" + std::to_string(id) + ")");
        return texts.at(id);
    }
    void SetComboText(int id, const std::string& text) override {
        calls.push_back("SetComboText(" + std::to_string(id) + ")");
        texts.at(id) = text;
    }
    std::uint32_t GetPortMember(int id) const override {
        calls.push_back("GetPortMember(" + std::to_string(id) + ")");
        return portMembers.at(id);
    }
    void SetPortMember(int id, std::uint32_t value) override {
        calls.push_back("SetPortMember(" + std::to_string(id) + ")");
        portMembers.at(id) = value;
    }
    void MessageBox(const std::string& text, const std::string& caption,
                    MessageIcon icon) override {
        calls.push_back("MessageBox(" + text + "|" + caption + "|" +
                        (icon == MessageIcon::Error ? "error" : "other") + ")");
    }
    void PostQuitMessage(int exitCode) override {
        calls.push_back("PostQuitMessage(" + std::to_string(exitCode) + ")");
    }
    void InsertString(int id, int index, const std::string& text) override {
        calls.push_back("InsertString(" + std::to_string(id) + "," + std::to_string(index) + "," +
                        text + ")");
        std::vector<std::string>& list = lists.at(id);
        list.insert(list.begin() + index, text);
    }
    void SetCurSel(int id, int index) override {
        calls.push_back("SetCurSel(" + std::to_string(id) + "," + std::to_string(index) + ")");
        selections.at(id) = index;
        texts.at(id) = lists.at(id).at(static_cast<std::size_t>(index));
    }
};
