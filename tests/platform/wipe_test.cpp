// SPDX-License-Identifier: Apache-2.0
#include "platform/wipe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

namespace larkspur::platform {
namespace {

TEST(SecureWipe, ZeroesEveryByte) {
  std::string secret = "hunter2";
  secret.push_back('\0');
  secret += "tail";
  secure_wipe(secret.data(), secret.size());
  EXPECT_EQ(secret, std::string(12, '\0'));
  secure_wipe(nullptr, 0);
}

TEST(SecureWipe, ClearsTheText) {
  std::string text = "a password longer than the small-string buffer";
  const char* data = text.data();
  const std::size_t size = text.size();
  secure_wipe(text);
  EXPECT_TRUE(text.empty());
  // Same storage, all zero: the password is not left in the heap.
  EXPECT_EQ(std::string(data, size), std::string(size, '\0'));
}

// A short text lives inside the string object; wiping only size() would
// also miss bytes beyond it left by an earlier, longer value.
TEST(SecureWipe, CoversTheWholeCapacity) {
  struct Case {
    const char* label;
    std::string before;  // the value that once filled the storage
    std::string now;     // what the text holds when it is wiped
  };
  const Case cases[] = {
      {"short", "pw", "pw"},
      {"shrunk short", "secret", "s"},
      {"shrunk long", std::string(100, 'x'), "y"},
      {"emptied", std::string(40, 'z'), ""},
  };
  for (const Case& c : cases) {
    std::string text = c.before;
    text = c.now;
    const char* data = text.data();
    const std::size_t capacity = text.capacity();
    secure_wipe(text);
    EXPECT_TRUE(text.empty()) << c.label;
    EXPECT_EQ(std::string(data, capacity), std::string(capacity, '\0')) << c.label;
  }
}

TEST(SecretBuffer, KeepsItsBytesWhileGrowing) {
  SecretBuffer buffer;
  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    const std::string piece = std::to_string(i) + ",";
    buffer.append(piece);
    expected += piece;
  }
  EXPECT_EQ(buffer.view(), expected);
  EXPECT_GE(buffer.capacity(), buffer.size());
}

TEST(SecretBuffer, ExtendReturnsRoomAfterTheBytes) {
  SecretBuffer buffer;
  buffer.append("ab");
  std::memcpy(buffer.extend(3), "cde", 3);
  EXPECT_EQ(buffer.view(), "abcde");
}

TEST(SecretBuffer, ShrinkWipesTheBytesItDrops) {
  struct Case {
    std::size_t drop;
    const char* left;
  };
  const Case cases[] = {{0, "secret"}, {2, "secr"}, {6, ""}, {99, ""}};
  for (const Case& c : cases) {
    SecretBuffer buffer;
    buffer.append("secret");
    buffer.shrink_by(c.drop);
    EXPECT_EQ(buffer.view(), c.left) << c.drop;
    // The dropped bytes are still inside the storage, and zero.
    const std::size_t kept = buffer.size();
    EXPECT_EQ(std::string(buffer.data() + kept, 6 - kept), std::string(6 - kept, '\0')) << c.drop;
  }
}

TEST(SecretBuffer, MoveHandsTheStorageOver) {
  SecretBuffer from;
  from.append("hunter2");
  const char* storage = from.data();
  SecretBuffer to(std::move(from));
  EXPECT_EQ(to.data(), storage);
  EXPECT_EQ(to.view(), "hunter2");
  EXPECT_TRUE(from.empty());  // NOLINT(bugprone-use-after-move)
  SecretBuffer other;
  other.append("x");
  other = std::move(to);
  EXPECT_EQ(other.view(), "hunter2");
}

TEST(SecretBuffer, RefusesASizeBeyondMemory) {
  SecretBuffer buffer;
  buffer.append("a");
  EXPECT_THROW(buffer.extend(SIZE_MAX), std::bad_alloc);
  EXPECT_EQ(buffer.view(), "a");
}

}  // namespace
}  // namespace larkspur::platform
