// SPDX-License-Identifier: Apache-2.0
// Tests of DTLS-SRTP between two sessions in memory: the handshake in both roles with the
// keys each side gets, a flight lost on the way and sent again, a certificate that is not the
// one the fingerprint names, and the first-byte demultiplexing of the RTP port.
#include "media/dtls_session.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "media/rtp_packet.h"

namespace quillet::media {
namespace {

// A self-signed P-256 certificate and key written to `folder`, loaded as an identity.
std::shared_ptr<const DtlsIdentity> makeIdentity(const std::string& folder, const char* name) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_sign(cert, key, EVP_sha256());
  const std::string certPath = folder + "/" + name + "-cert.pem";
  const std::string keyPath = folder + "/" + name + "-key.pem";
  FILE* f = std::fopen(certPath.c_str(), "w");
  PEM_write_X509(f, cert);
  std::fclose(f);
  f = std::fopen(keyPath.c_str(), "w");
  PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
  X509_free(cert);
  EVP_PKEY_free(key);
  std::string error;
  auto identity = DtlsIdentity::load(certPath, keyPath, error);
  EXPECT_TRUE(identity) << error;
  return identity;
}

class DtlsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillet-dtls-XXXXXX";
    folder_ = mkdtemp(pattern);
    alice_ = makeIdentity(folder_, "alice");
    bob_ = makeIdentity(folder_, "bob");
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  // Passes datagrams both ways until neither side has anything to say; `lose` drops the
  // first flight of the client.
  static void converse(DtlsSession& client, DtlsSession& server, bool lose = false) {
    DtlsSession::Datagrams toServer = client.start();
    if (lose) toServer.clear();
    for (int round = 0; round < 20 && !toServer.empty(); ++round) {
      DtlsSession::Datagrams toClient;
      for (const auto& d : toServer) {
        for (auto& back : server.receive(d.data(), d.size())) toClient.push_back(std::move(back));
      }
      toServer.clear();
      for (const auto& d : toClient) {
        for (auto& back : client.receive(d.data(), d.size())) toServer.push_back(std::move(back));
      }
    }
  }

  std::string folder_;
  std::shared_ptr<const DtlsIdentity> alice_;
  std::shared_ptr<const DtlsIdentity> bob_;
};

TEST_F(DtlsTest, HandshakeGivesBothSidesMirroredKeysThatCarryRtp) {
  ASSERT_EQ(alice_->fingerprint().size(), 32u * 3 - 1);
  EXPECT_NE(alice_->fingerprint(), bob_->fingerprint());
  auto client = DtlsSession::create(alice_, true, bob_->fingerprint());
  auto server = DtlsSession::create(bob_, false, alice_->fingerprint());
  ASSERT_TRUE(client && server);
  EXPECT_TRUE(server->start().empty());  // the server waits for the hello
  converse(*client, *server);
  ASSERT_EQ(client->state(), DtlsSession::State::Done) << client->failure();
  ASSERT_EQ(server->state(), DtlsSession::State::Done) << server->failure();
  const SrtpKeys& ours = *client->keys();
  const SrtpKeys& theirs = *server->keys();
  EXPECT_EQ(ours.suite, SrtpSuite::AeadAes128Gcm);  // the first profile both have
  EXPECT_EQ(ours.suite, theirs.suite);
  EXPECT_EQ(ours.local, theirs.remote);
  EXPECT_EQ(ours.remote, theirs.local);
  EXPECT_NE(ours.local, ours.remote);
  EXPECT_EQ(ours.local.size(), suiteKeyLength(ours.suite));

  auto send = SrtpContext::create(ours.suite, ours.local, SrtpContext::Direction::Send);
  auto receive = SrtpContext::create(theirs.suite, theirs.remote, SrtpContext::Direction::Receive);
  std::vector<uint8_t> packet(kRtpHeaderSize + 160 + kSrtpMaxGrowth, 0x55);
  writeRtpHeader(packet.data(), false, 0, 1, 160, 7);
  size_t length = kRtpHeaderSize + 160;
  ASSERT_TRUE(send->protectRtp(packet.data(), length, packet.size()));
  EXPECT_EQ(classifyDatagram(packet.data(), length), DatagramKind::Rtp);
  ASSERT_TRUE(receive->unprotectRtp(packet.data(), length));
  EXPECT_EQ(length, kRtpHeaderSize + 160u);
  EXPECT_EQ(packet[kRtpHeaderSize + 5], 0x55);
}

TEST_F(DtlsTest, ALostFlightIsSentAgainWhenItsTimerRunsOut) {
  auto client = DtlsSession::create(alice_, true, bob_->fingerprint());
  auto server = DtlsSession::create(bob_, false, alice_->fingerprint());
  converse(*client, *server, true);
  EXPECT_EQ(client->state(), DtlsSession::State::Handshaking);
  const int32_t due = client->msUntilResend();
  ASSERT_GT(due, 0);
  EXPECT_LE(due, 1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(due + 20));
  EXPECT_EQ(client->msUntilResend(), 0);
  DtlsSession::Datagrams again = client->resend();
  ASSERT_FALSE(again.empty());
  EXPECT_EQ(classifyDatagram(again[0].data(), again[0].size()), DatagramKind::Dtls);
  for (const auto& d : again) {
    for (const auto& back : server->receive(d.data(), d.size())) {
      for (const auto& next : client->receive(back.data(), back.size())) {
        for (const auto& last : server->receive(next.data(), next.size())) {
          client->receive(last.data(), last.size());
        }
      }
    }
  }
  EXPECT_EQ(client->state(), DtlsSession::State::Done);
  EXPECT_EQ(server->state(), DtlsSession::State::Done);
}

TEST_F(DtlsTest, ACertificateOtherThanTheFingerprintNamesEndsTheHandshake) {
  // Bob's SDP named Alice's own fingerprint: the certificate Bob shows is not that one.
  auto client = DtlsSession::create(alice_, true, alice_->fingerprint());
  auto server = DtlsSession::create(bob_, false, alice_->fingerprint());
  converse(*client, *server);
  EXPECT_EQ(client->state(), DtlsSession::State::Failed);
  EXPECT_EQ(client->failure(), "DTLS: the far end's certificate does not match its fingerprint");
  EXPECT_FALSE(client->keys());

  // Garbage instead of a hello: the server fails or waits, and never has keys.
  auto other = DtlsSession::create(bob_, false, alice_->fingerprint());
  const uint8_t junk[] = {22, 0xFE, 0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 1, 2, 3, 4, 5};
  other->receive(junk, sizeof(junk));
  EXPECT_NE(other->state(), DtlsSession::State::Done);
  EXPECT_FALSE(other->keys());
}

TEST(DatagramKinds, FirstByteDecides) {
  const uint8_t dtls[] = {22, 0xFE, 0xFD};
  const uint8_t rtp[] = {0x80, 0};
  const uint8_t stun[] = {0, 1};
  EXPECT_EQ(classifyDatagram(dtls, sizeof(dtls)), DatagramKind::Dtls);
  EXPECT_EQ(classifyDatagram(rtp, sizeof(rtp)), DatagramKind::Rtp);
  EXPECT_EQ(classifyDatagram(stun, sizeof(stun)), DatagramKind::Other);
  EXPECT_EQ(classifyDatagram(rtp, 0), DatagramKind::Other);
  const uint8_t edges[] = {19, 20, 63, 64, 127, 128, 191, 192};
  const DatagramKind expected[] = {DatagramKind::Other, DatagramKind::Dtls,  DatagramKind::Dtls,
                                   DatagramKind::Other, DatagramKind::Other, DatagramKind::Rtp,
                                   DatagramKind::Rtp,   DatagramKind::Other};
  for (size_t i = 0; i < sizeof(edges); ++i) {
    EXPECT_EQ(classifyDatagram(&edges[i], 1), expected[i]) << int(edges[i]);
  }
}

}  // namespace
}  // namespace quillet::media
