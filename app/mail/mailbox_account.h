// Where and as whom the mailbox is reached, whatever the protocol.
#pragma once

#include <string>

#include "app/settings/settings.h"

struct MailboxAccount {
  std::string server;
  std::string userId;
  std::string password;
  int port = 110;      // the low 16 bits are used
  int security = 0;    // 0 plain; 1 STLS (POP3, RFC 2595) or STARTTLS (IMAP, RFC 3501 6.2.1)
                       // before the log-in; 2 and every other value TLS from the first byte
  std::string caFile;  // PEM file of extra trusted certificates; may be empty
  std::string folder;  // IMAP: the CP932 folder name, empty means INBOX
};

// The mailbox of `mail`: PopServer, UserID, Passwd, PopPort, PopSecurity (as SecurityLevel
// reads it), CaFile and ImapFolder.
[[nodiscard]] MailboxAccount MailboxAccountOf(const MailSettings& mail);
