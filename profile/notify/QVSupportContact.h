#pragma once

namespace Quorvel {

// Ends the messages that ask the user to report a driver fault: an e-mail
// address and the full stop that closes the sentence.
inline constexpr char kQVSupportContact[] = "support@quorvel.com.";

}  // namespace Quorvel
