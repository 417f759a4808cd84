#pragma once

// Resource and control identifiers of the program.
enum ResourceId : int {
    IDD_ABOUTBOX = 100,
    IDS_ABOUTBOX = 101,
    IDD_TARVEL_DIALOG = 102,
    IDP_SOCKETS_INIT_FAILED = 103,
    IDR_MAINFRAME = 128,
    IDB_LOGO = 130,
};

enum ControlId : int {
    IDC_STATIC = -1,
    IDOK = 1,
    IDCANCEL = 2,
    IDC_CLIENT_TO_SERVER = 1000,
    IDC_SERVER_TO_CLIENT = 1001,
    IDC_CLIENT_ADDRESS = 1004,
    IDC_SERVER_ADDRESS = 1005,
    IDC_RUN = 1008,
    IDC_STOP = 1009,
    IDC_SETTINGS = 1010,
    IDC_INPUT_LAMP1 = 1011,
    IDC_INPUT_LAMP2 = 1012,
    IDC_INPUT_LAMP3 = 1013,
    IDC_OUTPUT_LAMP1 = 1014,
    IDC_UDP = 1015,
    IDC_OUTPUT_LAMP2 = 1016,
    IDC_OUTPUT_LAMP3 = 1017,
    IDC_TCP = 1018,
    IDC_TRAFFIC_GRAPH = 1019,
    IDC_CLIENT_PORT = 1022,
    IDC_SERVER_PORT = 1024,
    IDC_HELP_BUTTON = 1026,
    IDC_INPUT_LAMP4 = 1028,
    IDC_OUTPUT_LAMP4 = 1029,
};

// The about item of the dialog's menu.
inline constexpr int IDM_ABOUTBOX = 0x10;
