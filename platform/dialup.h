// Dial-up connections through NetworkManager's command-line tool.
//
// The phone book is NetworkManager's: its entries are the connections of type gsm, cdma,
// pppoe or bluetooth. Dialling is "nmcli connection up id NAME", hanging up "nmcli connection
// down id NAME". The tool is $QUORVEX_NMCLI when set and non-empty, else nmcli on PATH.
// Without the tool the phone book is empty and dialling fails. Every call waits at most the
// dial-up time-out of the timings record. Names are CP932, as all text inside Quorvex; they are
// converted to and from the tool's UTF-8. Safe from any thread.
#pragma once

#include <string>
#include <vector>

namespace qv {

// The dial-up tool to start.
[[nodiscard]] std::string NmcliPath();

// Names of the dial-up entries in the tool's order; empty when there are none or the tool is
// missing or fails.
[[nodiscard]] std::vector<std::string> ListDialEntries();

// Brings the connection `name` up; true when the tool reports success (exit status 0).
[[nodiscard]] bool DialConnect(const std::string& name);

// Takes the connection `name` down; true when the tool reports success.
bool DialHangUp(const std::string& name);

}  // namespace qv
