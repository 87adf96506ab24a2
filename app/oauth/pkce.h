// Proof Key for Code Exchange (RFC 7636) and the state of a browser log-in: random values
// from OpenSSL's generator, the S256 challenge.
#pragma once

#include <string>

// A code verifier: 43 characters of the unreserved set (32 random bytes, base64url); empty when
// the generator fails.
[[nodiscard]] std::string MakeCodeVerifier();
// The S256 challenge of `verifier`: base64url (no padding) of its SHA-256.
[[nodiscard]] std::string CodeChallengeOf(const std::string& verifier);
// A state value for one log-in, as unguessable as a verifier.
[[nodiscard]] inline std::string MakeLoginState() { return MakeCodeVerifier(); }
