// Composing a notification mail and handing it to the msmtp mail client. The client is started
// from an argument vector and reads the message on its standard input, so nothing in a subject,
// text, timestamp or address is ever interpreted by a shell.
#pragma once

#include <string>
#include <vector>

namespace email
{

// RFC 5322 limit of a line without its line end; longer lines are refused by strict servers.
inline constexpr size_t kMailLineMax = 998;

// The message msmtp reads: "Subject: <subject>" and an empty line when there is a subject, else
// two line feeds; then "<timestamp>, <text>" or "<text>".
// Line feeds and carriage returns in the subject become blanks, so a value cannot add a header;
// body lines longer than kMailLineMax are broken, a long subject is folded.
std::string compose_mail(const std::string &subject, const std::string *timestamp, const std::string &text);

// The argument vector: msmtp, the configuration file of the root when one is in force, then the
// recipients (the address split at blanks) after "--", so an address cannot pass as an option.
std::vector<std::string> msmtp_argv(const std::string &address);

// Runs msmtp with `message` on its standard input and waits for it. Returns its exit status
// (0: the mail was handed over), 128 + n when it was killed by signal n, -1 when it could not be
// started. A SIGTERM that arrives meanwhile stops the client and gives -1.
int send_mail(const std::string &address, const std::string &message);

} // namespace email
