// SPDX-License-Identifier: Apache-2.0
// Tests of "a=crypto" reading and writing and of how SDP offers and answers key SRTP: which
// key is taken, which profile is answered, and when a call is refused.
#include "media/sdes_crypto.h"

#include <gtest/gtest.h>

#include <regex>
#include <tuple>

#include "media/sdp_session.h"

namespace quillet::media {
namespace {

// A key of the suite's length: 0, 1, 2, ...
std::vector<uint8_t> countingKey(SrtpSuite suite) {
  std::vector<uint8_t> key(suiteKeyLength(suite));
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i);
  return key;
}

TEST(SdesCrypto, AttributesAreWrittenAndReadBack) {
  for (SrtpSuite suite : kSrtpSuites) {
    const SdesCrypto crypto{7, suite, newMasterKey(suite)};
    const std::string text = writeCryptoAttribute(crypto);
    ASSERT_EQ(text.rfind("crypto:", 0), 0u);
    std::optional<SdesCrypto> read = readCryptoAttribute(text.substr(7));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->tag, 7u);
    EXPECT_EQ(read->suite, suite);
    EXPECT_EQ(read->key, crypto.key);
  }
  // The known text of a key: 0..29 in base64, with a lifetime the reader passes over.
  const std::optional<SdesCrypto> known = readCryptoAttribute(
      "1 AES_CM_128_HMAC_SHA1_32 inline:AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd|2^31");
  ASSERT_TRUE(known);
  EXPECT_EQ(known->key, countingKey(SrtpSuite::AesCm128HmacSha1_32));
  EXPECT_EQ(writeCryptoAttribute({1, SrtpSuite::AesCm128HmacSha1_32, known->key}),
            "crypto:1 AES_CM_128_HMAC_SHA1_32 inline:AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwd");
}

TEST(SdesCrypto, LinesThisSideCannotUseAreNotTaken) {
  const std::string key30 = base64Encode(countingKey(SrtpSuite::AesCm128HmacSha1_80));
  const std::string key28 = base64Encode(countingKey(SrtpSuite::AeadAes128Gcm));
  for (const std::string& line :
       {"1 F8_128_HMAC_SHA1_80 inline:" + key30,                    // unknown suite
        "1 AES_CM_128_HMAC_SHA1_80 inline:" + key28,                // key too short
        "1 AEAD_AES_128_GCM inline:" + key30,                       // key too long
        "1 AES_CM_128_HMAC_SHA1_80 inline:" + key30 + "|2^20|1:4",  // master key index
        "1 AES_CM_128_HMAC_SHA1_80 inline:" + key30 + " UNENCRYPTED_SRTP",
        "1 AES_CM_128_HMAC_SHA1_80 " + key30,                   // no inline:
        "1 AES_CM_128_HMAC_SHA1_80 inline:" + key30.substr(1),  // broken base64
        "1 AES_CM_128_HMAC_SHA1_80 inline:" + key30.substr(0, 20) + "*" + key30.substr(21),
        "x AES_CM_128_HMAC_SHA1_80 inline:" + key30,           // tag not a number
        "1234567890 AES_CM_128_HMAC_SHA1_80 inline:" + key30,  // tag of ten digits
        std::string("1 AES_CM_128_HMAC_SHA1_80"), std::string()}) {
    EXPECT_FALSE(readCryptoAttribute(line)) << line;
  }
  EXPECT_FALSE(base64Decode("QQ=A"));
  EXPECT_EQ(base64Decode("QUI="), (std::vector<uint8_t>{'A', 'B'}));
  EXPECT_EQ(base64Encode({'A'}), "QQ==");
}

std::string offerWith(const std::string& media) {
  return "v=0\r\no=peer 1 1 IN IP4 127.0.0.2\r\ns=-\r\nc=IN IP4 127.0.0.2\r\nt=0 0\r\n" + media;
}

std::string cryptoLine(uint32_t tag, SrtpSuite suite, const std::vector<uint8_t>& key) {
  return "a=" + writeCryptoAttribute({tag, suite, key}) + "\r\n";
}

std::vector<std::string> cryptoLines(const std::string& sdp) {
  std::vector<std::string> lines;
  const std::regex pattern("a=crypto:[^\r\n]*");
  for (auto it = std::sregex_iterator(sdp.begin(), sdp.end(), pattern);
       it != std::sregex_iterator(); ++it) {
    lines.push_back(it->str());
  }
  return lines;
}

class SdesSdpTest : public ::testing::Test {
 protected:
  void use(bool sdes, bool required) {
    SdpSettings settings;
    settings.sdes = sdes;
    settings.encryptionRequired = required;
    session.setSettings(settings);
    session.setPrivateAddressTest([](const std::string&) { return true; });
    session.prepare("127.0.0.1", 9000, "127.0.0.1", 9000);
  }
  SdpSession session;
  std::string answer;
};

TEST_F(SdesSdpTest, OffersCarryAKeyPerSuiteAndTheAnswerPicksOne) {
  use(true, false);
  std::string offer = session.makeOffer(MediaDirection::SendRecv);
  EXPECT_NE(offer.find("m=audio 9000 RTP/AVP 111 "), std::string::npos);  // best effort
  std::vector<std::string> lines = cryptoLines(offer);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("crypto:1 AES_CM_128_HMAC_SHA1_80 inline:"), std::string::npos);
  EXPECT_NE(lines[1].find("crypto:2 AES_CM_128_HMAC_SHA1_32 inline:"), std::string::npos);
  EXPECT_NE(lines[2].find("crypto:3 AEAD_AES_128_GCM inline:"), std::string::npos);
  const std::vector<uint8_t> ourGcm = readCryptoAttribute(lines[2].substr(9))->key;

  // The far end takes tag 3: our GCM key sends, its key receives.
  const std::vector<uint8_t> theirs = newMasterKey(SrtpSuite::AeadAes128Gcm);
  ASSERT_TRUE(session.takeAnswer(
      offerWith("m=audio 4000 RTP/AVP 0\r\n" + cryptoLine(3, SrtpSuite::AeadAes128Gcm, theirs))));
  ASSERT_TRUE(session.srtpKeys());
  EXPECT_EQ(session.srtpKeys()->suite, SrtpSuite::AeadAes128Gcm);
  EXPECT_EQ(session.srtpKeys()->local, ourGcm);
  EXPECT_EQ(session.srtpKeys()->remote, theirs);

  // A plain answer to the best-effort offer is a plain call; a key under a tag we did not
  // offer is no key.
  session.prepare("127.0.0.1", 9000, "127.0.0.1", 9000);
  session.makeOffer(MediaDirection::SendRecv);
  ASSERT_TRUE(session.takeAnswer(
      offerWith("m=audio 4000 RTP/AVP 0\r\n" + cryptoLine(9, SrtpSuite::AeadAes128Gcm, theirs))));
  EXPECT_FALSE(session.srtpKeys());

  // Required: the offer is RTP/SAVP, and a plain answer ends the call.
  use(true, true);
  offer = session.makeOffer(MediaDirection::SendRecv);
  EXPECT_NE(offer.find("m=audio 9000 RTP/SAVP 111 "), std::string::npos);
  EXPECT_FALSE(session.takeAnswer(offerWith("m=audio 4000 RTP/AVP 0\r\n")));
  EXPECT_EQ(session.refusal(), SdpRefusal::NotEncrypted);

  // Without SDES (plain signalling) the offer carries no keys.
  use(false, false);
  offer = session.makeOffer(MediaDirection::SendRecv);
  EXPECT_TRUE(cryptoLines(offer).empty());
  EXPECT_NE(offer.find("m=audio 9000 RTP/AVP 111 "), std::string::npos);
}

TEST_F(SdesSdpTest, AnswersKeyTheFirstUsableOfferedSuiteUnderItsTag) {
  use(true, false);
  const std::vector<uint8_t> theirs = newMasterKey(SrtpSuite::AesCm128HmacSha1_32);
  // An unknown suite comes first and is passed over.
  ASSERT_TRUE(session.takeOffer(
      offerWith("m=audio 4000 RTP/SAVP 8\r\na=crypto:1 F8_128_HMAC_SHA1_80 inline:AAAA\r\n" +
                cryptoLine(5, SrtpSuite::AesCm128HmacSha1_32, theirs) +
                cryptoLine(6, SrtpSuite::AesCm128HmacSha1_80,
                           newMasterKey(SrtpSuite::AesCm128HmacSha1_80))),
      MediaDirection::SendRecv, answer));
  EXPECT_NE(answer.find("m=audio 9000 RTP/SAVP 8\r\n"), std::string::npos);
  const std::vector<std::string> lines = cryptoLines(answer);
  ASSERT_EQ(lines.size(), 1u);
  const std::optional<SdesCrypto> ours = readCryptoAttribute(lines[0].substr(9));
  ASSERT_TRUE(ours);
  EXPECT_EQ(ours->tag, 5u);
  EXPECT_EQ(ours->suite, SrtpSuite::AesCm128HmacSha1_32);
  ASSERT_TRUE(session.srtpKeys());
  EXPECT_EQ(session.srtpKeys()->local, ours->key);
  EXPECT_EQ(session.srtpKeys()->remote, theirs);
  EXPECT_NE(ours->key, theirs);

  // Best-effort SRTP: keys in a plain profile are answered in that profile.
  session.prepare("127.0.0.1", 9000, "127.0.0.1", 9000);
  ASSERT_TRUE(session.takeOffer(offerWith("m=audio 4000 RTP/AVP 0\r\n" +
                                          cryptoLine(1, SrtpSuite::AesCm128HmacSha1_32, theirs)),
                                MediaDirection::SendRecv, answer));
  EXPECT_NE(answer.find("m=audio 9000 RTP/AVP 0\r\n"), std::string::npos);
  EXPECT_EQ(cryptoLines(answer).size(), 1u);
  EXPECT_TRUE(session.srtpKeys());

  // Keys in the session part belong to no stream.
  session.prepare("127.0.0.1", 9000, "127.0.0.1", 9000);
  ASSERT_TRUE(session.takeOffer(cryptoLine(1, SrtpSuite::AesCm128HmacSha1_32, theirs) +
                                    offerWith("m=audio 4000 RTP/AVP 0\r\n"),
                                MediaDirection::SendRecv, answer));
  EXPECT_TRUE(cryptoLines(answer).empty());
  EXPECT_FALSE(session.srtpKeys());
}

TEST_F(SdesSdpTest, OffersThatCannotBeAnsweredSafelyAreRefused) {
  const std::string savp = offerWith(
      "m=audio 4000 RTP/SAVP 0\r\n" +
      cryptoLine(1, SrtpSuite::AesCm128HmacSha1_80, newMasterKey(SrtpSuite::AesCm128HmacSha1_80)));
  // SDES not allowed here (plain signalling): encrypted-only media cannot be keyed.
  use(false, false);
  EXPECT_FALSE(session.takeOffer(savp, MediaDirection::SendRecv, answer));
  EXPECT_EQ(session.refusal(), SdpRefusal::NoKeys);
  // Encrypted profile without a usable key.
  use(true, false);
  EXPECT_FALSE(session.takeOffer(offerWith("m=audio 4000 RTP/SAVP 0\r\n"), MediaDirection::SendRecv,
                                 answer));
  EXPECT_EQ(session.refusal(), SdpRefusal::NoKeys);
  // Transports this side does not do.
  for (const char* transport : {"UDP/TLS/RTP/SAVP", "TCP/RTP/AVP", "udp"}) {
    use(true, false);
    EXPECT_FALSE(session.takeOffer(offerWith("m=audio 4000 " + std::string(transport) + " 0\r\n"),
                                   MediaDirection::SendRecv, answer))
        << transport;
    EXPECT_EQ(session.refusal(), SdpRefusal::UnsupportedTransport);
  }
  // Required encryption against a plain offer; a codec-less offer stays a codec failure.
  use(true, true);
  EXPECT_FALSE(
      session.takeOffer(offerWith("m=audio 4000 RTP/AVP 0\r\n"), MediaDirection::SendRecv, answer));
  EXPECT_EQ(session.refusal(), SdpRefusal::NotEncrypted);
  use(true, true);
  EXPECT_TRUE(session.takeOffer(savp, MediaDirection::SendRecv, answer));
  EXPECT_EQ(session.refusal(), SdpRefusal::None);
  use(true, true);
  EXPECT_FALSE(session.takeOffer(offerWith("m=audio 4000 RTP/SAVP 99\r\n"),
                                 MediaDirection::SendRecv, answer));
  EXPECT_EQ(session.refusal(), SdpRefusal::NoCodec);
}

// DTLS: our offer leaves the roles open, the answer decides who starts the handshake; an
// offer with a fingerprint is answered with ours and a role, before any SDES key.
TEST_F(SdesSdpTest, DtlsFingerprintsAndRolesAreWrittenAndRead) {
  SdpSettings settings;
  settings.dtls = true;
  settings.sdes = true;
  settings.fingerprint = "AA:BB:CC";
  session.setSettings(settings);
  session.setPrivateAddressTest([](const std::string&) { return true; });
  session.prepare("127.0.0.1", 9000, "127.0.0.1", 9000);
  std::string offer = session.makeOffer(MediaDirection::SendRecv);
  EXPECT_NE(offer.find("m=audio 9000 RTP/AVP 111 "), std::string::npos);
  EXPECT_NE(offer.find("a=fingerprint:sha-256 AA:BB:CC\r\na=setup:actpass\r\n"), std::string::npos);
  EXPECT_EQ(cryptoLines(offer).size(), 3u);  // SDES beside DTLS over TLS signalling
  ASSERT_TRUE(session.takeAnswer(
      offerWith("m=audio 4000 RTP/AVP 0\r\na=fingerprint:SHA-256 de:ad\r\na=setup:active\r\n")));
  ASSERT_TRUE(session.dtls());
  EXPECT_FALSE(session.dtls()->client);
  EXPECT_EQ(session.dtls()->remoteFingerprint, "DE:AD");
  EXPECT_FALSE(session.srtpKeys());

  session.prepare("127.0.0.1", 9000, "127.0.0.1", 9000);
  session.makeOffer(MediaDirection::SendRecv);
  ASSERT_TRUE(session.takeAnswer(
      offerWith("m=audio 4000 RTP/AVP 0\r\na=setup:passive\r\na=fingerprint:sha-256 DE:AD\r\n")));
  ASSERT_TRUE(session.dtls());
  EXPECT_TRUE(session.dtls()->client);

  // Answering: DTLS is taken before the SDES keys of the same offer.
  for (const auto& [theirs, ours, client] :
       {std::tuple{"actpass", "active", true}, std::tuple{"active", "passive", false},
        std::tuple{"passive", "active", true}}) {
    session.prepare("127.0.0.1", 9000, "127.0.0.1", 9000);
    ASSERT_TRUE(session.takeOffer(
        offerWith("m=audio 4000 UDP/TLS/RTP/SAVP 0\r\na=fingerprint:sha-256 DE:AD\r\na=setup:" +
                  std::string(theirs) + "\r\n" +
                  cryptoLine(1, SrtpSuite::AesCm128HmacSha1_80,
                             newMasterKey(SrtpSuite::AesCm128HmacSha1_80))),
        MediaDirection::SendRecv, answer));
    EXPECT_NE(answer.find("m=audio 9000 UDP/TLS/RTP/SAVP 0\r\n"), std::string::npos);
    EXPECT_NE(answer.find("a=fingerprint:sha-256 AA:BB:CC\r\na=setup:" + std::string(ours)),
              std::string::npos)
        << theirs;
    EXPECT_TRUE(cryptoLines(answer).empty());
    ASSERT_TRUE(session.dtls());
    EXPECT_EQ(session.dtls()->client, client);
    EXPECT_FALSE(session.srtpKeys());
  }

  // Only a SHA-1 fingerprint: nothing to check the certificate against.
  session.prepare("127.0.0.1", 9000, "127.0.0.1", 9000);
  EXPECT_FALSE(session.takeOffer(
      offerWith("m=audio 4000 UDP/TLS/RTP/SAVP 0\r\na=fingerprint:sha-1 DE:AD\r\n"),
      MediaDirection::SendRecv, answer));
  EXPECT_EQ(session.refusal(), SdpRefusal::NoKeys);

  // Required: the offer's profile is the DTLS one.
  settings.encryptionRequired = true;
  session.setSettings(settings);
  session.prepare("127.0.0.1", 9000, "127.0.0.1", 9000);
  EXPECT_NE(session.makeOffer(MediaDirection::SendRecv).find("m=audio 9000 UDP/TLS/RTP/SAVP 111 "),
            std::string::npos);
}

}  // namespace
}  // namespace quillet::media
