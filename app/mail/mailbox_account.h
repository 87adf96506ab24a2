// Where and as whom the mailbox is reached, whatever the protocol.
#pragma once

#include <memory>
#include <string>

#include "app/mail/secret_source.h"
#include "app/settings/settings.h"

struct MailboxAccount {
  std::string server;
  std::string userId;
  std::string password;  // used when `secrets` is null
  int port = 110;      // the low 16 bits are used
  int security = 0;    // 0 plain; 1 STLS (POP3, RFC 2595) or STARTTLS (IMAP, RFC 3501 6.2.1)
                       // before the log-in; 2 and every other value TLS from the first byte
  std::string caFile;  // PEM file of extra trusted certificates; may be empty
  std::string folder;  // IMAP: the CP932 folder name, empty means INBOX
  int authMethod = 0;  // 0 the password (USER/PASS, LOGIN); 1 an OAuth2 token (XOAUTH2, OAUTHBEARER)
  // Asked at every log-in for the password or token (SecretPurpose::kMailbox), and once more
  // after a refused token; null: `password`.
  std::shared_ptr<SecretSource> secrets;
};

// The mailbox of `mail`: PopServer, UserID, PopPort, PopSecurity (as SecurityLevel reads it),
// CaFile, ImapFolder, AuthMethod, and the settings' secret source (Passwd or PassCommand).
[[nodiscard]] MailboxAccount MailboxAccountOf(const MailSettings& mail);
