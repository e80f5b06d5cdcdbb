// SPDX-License-Identifier: Apache-2.0
#include "sip/stream_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillet::sip {
namespace {

using Item = StreamFramer::Item;

std::vector<Item> drain(StreamFramer& framer, std::vector<std::string>* messages = nullptr) {
  std::vector<Item> items;
  for (;;) {
    const Item item = framer.next();
    if (item == Item::None) break;
    items.push_back(item);
    if (item == Item::Message && messages) messages->push_back(framer.message());
    if (item == Item::Error) break;
  }
  return items;
}

TEST(StreamFramer, CutsMessagesByContentLengthWhateverTheChunks) {
  const std::string first = "INVITE sip:a@b SIP/2.0\r\nl: 5\r\nVia: x\r\n\r\nhello";
  const std::string second = "SIP/2.0 200 OK\r\nContent-Length:   0\r\n\r\n";
  const std::string third = "BYE sip:a@b SIP/2.0\r\nCall-ID: 7\r\n\r\n";  // no length: no body
  const std::string stream = first + second + third;
  for (size_t piece : {1u, 3u, 17u, 1000u}) {
    StreamFramer framer;
    std::vector<std::string> messages;
    for (size_t at = 0; at < stream.size(); at += piece) {
      framer.feed(stream.substr(at, piece));
      drain(framer, &messages);
    }
    EXPECT_EQ(messages, (std::vector<std::string>{first, second, third})) << piece;
    EXPECT_FALSE(framer.midMessage());
  }
}

TEST(StreamFramer, TellsKeepAlivesFromMessages) {
  StreamFramer framer;
  framer.feed("\r\n\r\n");
  EXPECT_EQ(drain(framer), std::vector<Item>{Item::Ping});
  framer.feed("\r\n");
  EXPECT_EQ(drain(framer), std::vector<Item>{Item::Pong});
  framer.feed("\r\n\r\nOPTIONS sip:x SIP/2.0\r\n\r\n");
  EXPECT_EQ(drain(framer), (std::vector<Item>{Item::Ping, Item::Message}));
}

TEST(StreamFramer, RefusesWhatCouldHoldTheConnectionOrMemory) {
  {
    StreamFramer framer;  // a length far beyond any message
    framer.feed("INVITE sip:a SIP/2.0\r\nContent-Length: 2147483648\r\n\r\n");
    EXPECT_EQ(drain(framer), std::vector<Item>{Item::Error});
    EXPECT_EQ(framer.error(), "an unreadable Content-Length");
  }
  {
    StreamFramer framer;  // within the digits but over 64 KiB
    framer.feed("INVITE sip:a SIP/2.0\r\nContent-Length: 70000\r\n\r\n");
    EXPECT_EQ(drain(framer), std::vector<Item>{Item::Error});
  }
  {
    StreamFramer framer;  // a header block that never ends
    const std::string line = "X-Long: " + std::string(1000, 'a') + "\r\n";
    Item last = Item::None;
    for (int i = 0; i < 80 && last != Item::Error; ++i) {
      framer.feed(i == 0 ? "INVITE sip:a SIP/2.0\r\n" + line : line);
      last = framer.next();
    }
    EXPECT_EQ(last, Item::Error);
    framer.feed("OPTIONS sip:x SIP/2.0\r\n\r\n");  // nothing more after an error
    EXPECT_EQ(framer.next(), Item::Error);
  }
  {
    StreamFramer framer;
    framer.feed("INVITE sip:a SIP/2.0\r\nContent-Length: 12abc\r\n\r\n");
    EXPECT_EQ(framer.next(), Item::Error);
  }
}

}  // namespace
}  // namespace quillet::sip
