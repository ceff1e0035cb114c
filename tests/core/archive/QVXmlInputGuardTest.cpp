#include "archive/QVXmlInputGuard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace Quorvel {
namespace {

std::string repeat(const std::string& piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

std::string attributes(std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += " a" + std::to_string(i) + "=\"x\"";
  return out;
}

// Limits of 4 attributes and 64 ignorable bytes keep the cases readable.
TEST(QVXmlInputGuardTest, AcceptsAndRefusesByShapeForGood) {
  struct Case {
    const char* name;
    std::string document;
    bool accepted;
  } cases[] = {
    {"plain", "<Session a=\"1\"><X>text with spaces</X></Session>", true},
    {"four attributes", "<S" + attributes(4) + "/>", true},
    {"five attributes", "<S" + attributes(5) + "/>", false},
    {"equals inside values", "<S a=\"=====\" b='=====' />", true},
    {"equals in text", "<S>" + repeat("=", 100) + "</S>", true},
    {"equals in CDATA", "<S><![CDATA[<x " + repeat("a=1 ", 10) + "]]></S>", true},
    {"small comments", "<S>" + repeat("<!--x-->", 6) + "</S>", true},
    {"comment bomb", "<S>" + repeat("<!--x-->", 20) + "</S>", false},
    {"instruction bomb", "<S>" + repeat("<?p x?>", 20) + "</S>", false},
    {"whitespace with no tag after", "<S/>" + repeat("\n", 65), false},
    {"significant text", "<S>" + repeat(" x", 100) + "</S>", true},
    {"tags reset attribute count", repeat("<S" + attributes(4) + "/>", 10), true},
    {"comment ending with extra dashes", "<S><!-- a=b ---><T" + attributes(4) + "/></S>", true},
  };
  for (const Case& c : cases) {
    QVXmlInputGuard guard(4, 64);
    // Fed one byte at a time: a chunk boundary may fall anywhere.
    bool accepted = true;
    for (char ch : c.document) accepted = guard.feed(&ch, 1) && accepted;
    EXPECT_EQ(accepted, c.accepted) << c.name << ": " << guard.refusal();
    EXPECT_EQ(guard.refusal().empty(), c.accepted) << c.name;
  }
  // A refusal is final.
  QVXmlInputGuard guard(1, 64);
  EXPECT_FALSE(guard.feed("<S a='1' b='2'/>", 16));
  EXPECT_FALSE(guard.feed("<S/>", 4));
  EXPECT_NE(guard.refusal().find("more than 1 attributes"), std::string::npos);
}

// What the parser sees: comments and instructions dropped, the declaration,
// CDATA and everything else kept byte for byte, wherever chunks end.
TEST(QVXmlInputGuardTest, FilterDropsCommentsAndInstructionsOnly) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"<?xml version=\"1.0\"?><S><!-- c --><A>1</A><?p x?></S>", "<?xml version=\"1.0\"?><S><A>1</A></S>"},
      {"<S>a<!--x-->b</S>", "<S>ab</S>"},
      {"<S><![CDATA[<!--kept-->]]></S>", "<S><![CDATA[<!--kept-->]]></S>"},
      {"<S><!-x></S>", "<S><!-x></S>"},
      {"<S a='<!--'/>", "<S a='<!--'/>"},
      {"<S><", "<S><"},
  };
  for (const Case& c : cases) {
    for (std::size_t chunk : {std::size_t(1), std::size_t(2), std::size_t(1000)}) {
      QVXmlInputGuard guard;
      std::string seen;
      char out[1000 + QVXmlInputGuard::kHeldBack];
      for (std::size_t at = 0; at < c.in.size(); at += chunk) {
        long n = guard.filter(c.in.data() + at, std::min(chunk, c.in.size() - at), out);
        ASSERT_GE(n, 0);
        seen.append(out, static_cast<std::size_t>(n));
      }
      long n = guard.filter(nullptr, 0, out);
      seen.append(out, static_cast<std::size_t>(n));
      EXPECT_EQ(seen, c.out) << "chunk " << chunk;
    }
  }
}

} // namespace
} // namespace Quorvel
