// The checks the mail settings pass before the mail page writes them, in one table and in their
// order: 1 to 12 on the boxes of the page, 13 to 21 on those of the details dialog
// (CMailSecurityDlg). Each check names the box that takes the focus when it fails.
#pragma once

#include <string>

#include "app/settings/settings.h"

namespace qxdlg {

// One refusal: which check failed (1 to 21 in check order), its caption and message (CP932) and
// the box to correct; check 0 when the settings pass.
struct MailRefusal {
  int check = 0;
  std::string caption;
  std::string message;
  const char* box = "";    // the object name of the box that holds the value to correct
  bool inDetails = false;  // that box is in the details dialog, not on the page
};

// Runs every check on `record` in order; the first that fails is the refusal.
[[nodiscard]] MailRefusal CheckMailSettings(const MailSettings& record);
// Runs the checks of the details dialog's boxes only (13 to 21): the SMTP account when SMTP AUTH
// is on, the IMAP folder when the incoming protocol is IMAP, the OAuth2 client, its addresses
// and its scope.
[[nodiscard]] MailRefusal CheckMailDetails(const MailSettings& record);

}  // namespace qxdlg
