#include "dialog_templates.h"

#include "resource.h"

#include <array>
#include <stdexcept>

namespace {

constexpr unsigned kLamp = kReadOnly | kBorder | kTabStop | kAutoHScroll;
constexpr unsigned kPortEdit = kBorder | kTabStop | kAutoHScroll;
constexpr unsigned kAddressCombo = kSort | kVScroll | kTabStop;

// Template order is also the tab and z order. Each pair of radio buttons is one group, reached
// with Tab and walked with the arrow keys.
constexpr std::array<ControlTemplate, 33> kMainDialogControls{{
    {IDC_DISPLAY_GROUP, ControlKind::GroupBox, "显示 ", 7, 3, 305, 40, 0},
    {IDC_STATIC, ControlKind::GroupBox, "传输模式", 7, 45, 305, 53, 0},
    {IDC_CLIENT_TO_SERVER, ControlKind::RadioButton, "客户端到服务器端", 13, 59, 83, 10,
     kGroup | kTabStop},
    {IDC_SERVER_TO_CLIENT, ControlKind::RadioButton, "服务器端到客户端", 13, 82, 82, 10, 0},
    {IDC_CLIENT_ADDRESS, ControlKind::ComboBox, "", 198, 66, 70, 58, kAddressCombo},
    {IDC_SERVER_ADDRESS, ControlKind::ComboBox, "", 198, 79, 70, 58, kAddressCombo},
    {IDC_STATIC, ControlKind::GroupBox, "流量显示", 7, 100, 305, 82, 0},
    {IDC_STATIC, ControlKind::GroupBox, "控制", 7, 184, 305, 33, 0},
    {IDC_RUN, ControlKind::PushButton, "运行(&R)", 19, 196, 50, 14, kTabStop},
    {IDC_STOP, ControlKind::PushButton, "停止(&T)", 96, 196, 50, 14, kTabStop},
    {IDC_SETTINGS, ControlKind::PushButton, "设置(&S)", 173, 196, 50, 14, kTabStop},
    {IDC_INPUT_LAMP1, ControlKind::Edit, "", 158, 11, 30, 13, kLamp},
    {IDC_INPUT_LAMP2, ControlKind::Edit, "", 197, 11, 30, 13, kLamp},
    {IDC_INPUT_LAMP3, ControlKind::Edit, "", 236, 11, 30, 13, kLamp},
    {IDC_STATIC, ControlKind::StaticText, "输入显示", 121, 13, 34, 8, 0},
    {IDC_STATIC, ControlKind::StaticText, "输出显示", 121, 29, 34, 8, 0},
    {IDC_OUTPUT_LAMP1, ControlKind::Edit, "", 158, 27, 30, 13, kLamp},
    {IDC_OUTPUT_LAMP2, ControlKind::Edit, "", 197, 27, 30, 13, kLamp},
    {IDC_OUTPUT_LAMP3, ControlKind::Edit, "", 236, 27, 30, 13, kLamp},
    {IDC_UDP, ControlKind::RadioButton, "UDP", 105, 59, 41, 10, kGroup | kTabStop},
    {IDC_TCP, ControlKind::RadioButton, "TCP", 105, 82, 39, 10, 0},
    {IDC_TRAFFIC_GRAPH, ControlKind::PushButton, " 输入流量", 13, 110, 293, 69, kTabStop},
    {IDC_CLIENT_PORT, ControlKind::Edit, "", 273, 66, 30, 12, kPortEdit},
    {IDC_SERVER_PORT, ControlKind::Edit, "", 273, 79, 30, 12, kPortEdit},
    {IDC_STATIC, ControlKind::StaticText, "IP地址", 222, 56, 33, 8, 0},
    {IDC_STATIC, ControlKind::StaticText, "端口号", 278, 56, 27, 8, 0},
    {IDC_HELP_BUTTON, ControlKind::PushButton, "帮助(&H)", 250, 196, 50, 14, kTabStop},
    {IDC_STATIC, ControlKind::StaticBitmap, "", 12, 13, 96, 24, kCenterImage | kClientEdge,
     IDB_LOGO},
    {IDC_STATIC, ControlKind::GroupBox, "", 157, 48, 152, 47, 0},
    {IDC_STATIC, ControlKind::StaticText, "输入网卡", 163, 69, 34, 8, 0},
    {IDC_STATIC, ControlKind::StaticText, "输出网卡", 163, 81, 35, 8, 0},
    {IDC_INPUT_LAMP4, ControlKind::Edit, "", 275, 11, 30, 13, kLamp},
    {IDC_OUTPUT_LAMP4, ControlKind::Edit, "", 275, 27, 30, 13, kLamp},
}};

constexpr std::array<ControlTemplate, 3> kAboutControls{{
    {IDC_STATIC, ControlKind::StaticIcon, "", 14, 14, 20, 20, 0, IDR_MAINFRAME},
    {IDC_STATIC, ControlKind::StaticText, "Tarvel，" TARVEL_VERSION " 版", 42, 14, 114, 8,
     kNoPrefix},
    {IDOK, ControlKind::DefPushButton, "确定", 113, 41, 50, 14, kGroup | kTabStop},
}};

// The choices are 12 units tall where the main dialog's radio buttons have 10: the Song face has
// one pixel below its baseline, and a 10-unit button cuts off the line under its mnemonic.
constexpr std::array<ControlTemplate, 14> kSettingsControls{{
    {IDC_STATIC, ControlKind::GroupBox, "转发方式", 7, 4, 306, 58, 0},
    {IDC_FORWARD_TEXT, ControlKind::RadioButton, "按文本转发(&T)", 13, 14, 120, 12,
     kGroup | kTabStop},
    {IDC_STATIC, ControlKind::StaticText, "每次收到的数据到第一个零字节为止, 再加一个零字节 (默认)",
     25, 26, 284, 8, 0},
    {IDC_FORWARD_BYTES, ControlKind::RadioButton, "原样转发(&B)", 13, 36, 120, 12, 0},
    {IDC_STATIC, ControlKind::StaticText,
     "数据原样转发, 不增不减; UDP 数据报完整转发, 最长 65507 字节", 25, 48, 284, 8, 0},
    {IDC_STATIC, ControlKind::GroupBox, "允许的来源", 7, 65, 306, 48, 0},
    {IDC_ALLOWED_SOURCES, ControlKind::Edit, "", 13, 76, 294, 12,
     kBorder | kTabStop | kAutoHScroll},
    {IDC_STATIC, ControlKind::StaticText,
     "地址或前缀, 逗号分隔, 如 10.1.2.0/24, 2001:db8::/32\n"
     "留空: 任何来源都被接受 (TCP 接受第一个连上的, UDP 接受每个发送者)",
     13, 91, 296, 18, 0},
    {IDC_STATIC, ControlKind::GroupBox, "端口号", 7, 116, 306, 37, 0},
    {IDC_WIDE_PORTS, ControlKind::CheckBox, "端口号可用 0 到 65535(&P)", 13, 126, 200, 12,
     kGroup | kTabStop},
    {IDC_STATIC, ControlKind::StaticText,
     "不选时只能用 0 到 10000 (默认); 32768 起的端口系统会临时分给连接", 25, 139, 284, 8, 0},
    {IDC_SETTINGS_NOTE, ControlKind::StaticText, "", 7, 160, 180, 16, 0},
    {IDOK, ControlKind::DefPushButton, "确定", 205, 160, 50, 14, kGroup | kTabStop},
    {IDCANCEL, ControlKind::PushButton, "取消", 263, 160, 50, 14, kTabStop},
}};

constexpr DialogTemplate kMainDialog{IDD_TARVEL_DIALOG, "Tarvel", 319,  226,
                                     "MS Shell Dlg",    9,        true, kMainDialogControls};
constexpr DialogTemplate kAboutDialog{IDD_ABOUTBOX, "关于Tarvel",  170, 62, "MS Shell Dlg", 9,
                                      false,        kAboutControls};
constexpr DialogTemplate kSettingsDialog{IDD_SETTINGS,   "设置", 320,   181,
                                         "MS Shell Dlg", 9,      false, kSettingsControls};

} // namespace

const DialogTemplate& LoadDialogTemplate(int id) {
    switch (id) {
    case IDD_TARVEL_DIALOG:
        return kMainDialog;
    case IDD_ABOUTBOX:
        return kAboutDialog;
    case IDD_SETTINGS:
        return kSettingsDialog;
    default:
        throw std::out_of_range("no dialog template with this id");
    }
}

const char* LoadStringResource(int id) {
    switch (id) {
    case IDS_ABOUTBOX:
        return "关于 Tarvel(&A)...";
    case IDP_SOCKETS_INIT_FAILED:
        return "Windows 套接字初始化失败。";
    default:
        return "";
    }
}
