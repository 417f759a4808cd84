#pragma once

// The parameter file's section and key names, letter case included: the file's own, which stored
// files and the dialog rely on.

// The endpoints, as the dialog has always saved them.
inline constexpr char kModeSection[] = "ClientOrServer";
inline constexpr char kProtocolSection[] = "UDpOrTCp";
inline constexpr char kCountSection[] = "IP";
inline constexpr char kClientAddressSection[] = "Client1";
inline constexpr char kClientPortSection[] = "ClientPost1";
inline constexpr char kServerAddressSection[] = "Server1";
inline constexpr char kServerPortSection[] = "ServerPost1";
inline constexpr char kNumberKey[] = "Number";
inline constexpr char kAddressKey[] = "IP";
inline constexpr char kPortKey[] = "Post";

// What this program added beside them.
inline constexpr char kForwardSection[] = "Forward";
inline constexpr char kForwardModeKey[] = "Mode";
inline constexpr char kTextModeName[] = "Text";
inline constexpr char kBytesModeName[] = "Bytes";
inline constexpr char kAllowSection[] = "Allow";
inline constexpr char kSourcesKey[] = "Sources";
inline constexpr char kStatusSection[] = "Status";
inline constexpr char kListenKey[] = "Listen";
inline constexpr char kRelaySection[] = "Relay";
inline constexpr char kIdleSecondsKey[] = "IdleSeconds";
inline constexpr char kStreamsKey[] = "Streams";

// The dialog's own choices, which the relay program does not use: "[Dialog] WidePorts=1" widens
// the dialog's port range to 0..65535 (0 or absent: 0..10000).
inline constexpr char kDialogSection[] = "Dialog";
inline constexpr char kWidePortsKey[] = "WidePorts";
