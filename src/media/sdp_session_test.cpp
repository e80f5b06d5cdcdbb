// SPDX-License-Identifier: Apache-2.0
// Tests of SDP offers, peer body reading and codec negotiation.
#include "media/sdp_session.h"

#include <gtest/gtest.h>

#include <regex>

namespace quillet::media {
namespace {

std::string mediaLine(const std::string& sdp) {
  std::smatch match;
  if (std::regex_search(sdp, match, std::regex("m=audio [^\r\n]*"))) return match.str();
  return {};
}

std::string offerWith(const std::string& mediaAndAttributes,
                      const std::string& connection = "80.1.2.3") {
  return "v=0\r\no=peer 1 1 IN IP4 " + connection + "\r\ns=-\r\nc=IN IP4 " + connection +
         "\r\nt=0 0\r\n" + mediaAndAttributes;
}

class SdpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session.setPrivateAddressTest([](const std::string& host) {
      return host.rfind("192.168.", 0) == 0 || host.rfind("10.", 0) == 0;
    });
    session.prepare("203.0.113.5", 9000, "192.168.1.23", 8000);
  }
  SdpSession session;
  std::string answer;
};

TEST_F(SdpTest, OffersListCodecsByQualityAndLocalLinesOnlyBehindANat) {
  std::string offer = session.makeOffer(MediaDirection::SendRecv);
  EXPECT_EQ(mediaLine(offer), "m=audio 9000 RTP/AVP 111 9 0 8 96 97 3 13 101 110");
  EXPECT_NE(offer.find("c=IN IP4 203.0.113.5\r\n"), std::string::npos);
  EXPECT_NE(offer.find("a=rtpmap:96 G726-32/8000\r\na=rtpmap:97 AAL2-G726-32/8000\r\n"),
            std::string::npos);
  EXPECT_NE(offer.find("a=fmtp:101 0-16\r\na=rtpmap:110 telephone-event/48000\r\na=fmtp:110 "
                       "0-16\r\na=sendrecv\r\n"),
            std::string::npos);
  EXPECT_NE(offer.find("a=local:192.168.1.23 8000\r\na=domain:203.0.113.5\r\n"), std::string::npos);
  EXPECT_EQ(offer.find("direction"), std::string::npos);

  session.setSettings({49, true});
  session.prepare("203.0.113.5", 9000, "192.168.1.23", 8000);
  offer = session.makeOffer(MediaDirection::SendOnly);
  EXPECT_EQ(mediaLine(offer), "m=audio 9000 RTP/AVP 111 3 96 97 9 0 8 13 101 110");
  EXPECT_NE(offer.find("a=sendonly\r\na=direction:active\r\na=local:"), std::string::npos);

  // Not behind a NAT: no local lines.
  session.setSettings({});
  session.prepare("192.168.1.23", 8000, "192.168.1.23", 8000);
  offer = session.makeOffer(MediaDirection::SendRecv);
  EXPECT_EQ(offer.find("a=local"), std::string::npos);
  EXPECT_EQ(offer.rfind("a=sendrecv\r\na=rtcp-mux\r\n"), offer.size() - 24);
  // The offer of a session never prepared (as for OPTIONS): empty address, port 0.
  offer = SdpSession::makeCapabilityOffer({});
  EXPECT_NE(offer.find(" IN IP4 \r\ns=Quillet Call\r\nc=IN IP4 \r\n"), std::string::npos);
  EXPECT_EQ(mediaLine(offer), "m=audio 0 RTP/AVP 111 9 0 8 96 97 3 13 101 110");
}

// RTCP on the RTP port is offered always and taken when the other side's SDP has it; a
// separate RTCP port the far end names (a=rtcp) is read, unless its local address is used.
TEST_F(SdpTest, RtcpMuxIsOfferedAndFollowsThePeer) {
  EXPECT_NE(session.makeOffer(MediaDirection::SendRecv).find("a=rtcp-mux\r\n"), std::string::npos);
  EXPECT_FALSE(session.rtcpMux());
  ASSERT_TRUE(session.takeAnswer(offerWith("m=audio 4000 RTP/AVP 0\r\na=rtcp-mux\r\n")));
  EXPECT_TRUE(session.rtcpMux());
  session.prepare("203.0.113.5", 9000, "192.168.1.23", 8000);
  ASSERT_TRUE(session.takeAnswer(offerWith("m=audio 4000 RTP/AVP 0\r\na=rtcp:4011\r\n")));
  EXPECT_FALSE(session.rtcpMux());
  EXPECT_EQ(session.remoteRtcpPort(), 4011);

  // An offer with it gets it in the answer; one without does not. A video section's
  // attribute is not the audio stream's.
  session.prepare("203.0.113.5", 9000, "192.168.1.23", 8000);
  ASSERT_TRUE(session.takeOffer(offerWith("m=audio 4000 RTP/AVP 0\r\na=rtcp-mux\r\n"),
                                MediaDirection::SendRecv, answer));
  EXPECT_NE(answer.find("a=rtcp-mux\r\n"), std::string::npos);
  EXPECT_TRUE(session.rtcpMux());
  session.prepare("203.0.113.5", 9000, "192.168.1.23", 8000);
  ASSERT_TRUE(session.takeOffer(
      offerWith("m=audio 4000 RTP/AVP 0\r\nm=video 4002 RTP/AVP 31\r\na=rtcp-mux\r\n"),
      MediaDirection::SendRecv, answer));
  EXPECT_EQ(answer.find("rtcp-mux"), std::string::npos);
  EXPECT_FALSE(session.rtcpMux());
  EXPECT_EQ(session.remoteRtcpPort(), 0);

  // Both behind one NAT: the local address and port, whose RTCP is beside it.
  session.prepare("203.0.113.5", 9000, "192.168.1.23", 8000);
  ASSERT_TRUE(session.takeOffer(offerWith("m=audio 4000 RTP/AVP 0\r\na=rtcp:4001\r\na=local:"
                                          "192.168.1.40 7000\r\na=domain:203.0.113.5\r\n"),
                                MediaDirection::SendRecv, answer));
  EXPECT_EQ(session.remotePort(), 7000);
  EXPECT_EQ(session.remoteRtcpPort(), 0);
}

TEST_F(SdpTest, VersionRisesByOneAndIdStays) {
  const std::string first = session.makeOffer(MediaDirection::SendRecv);
  const auto id = static_cast<int32_t>(session.sessionId());
  const auto version = static_cast<int32_t>(session.sessionVersion());
  session.prepare("203.0.113.5", 9000, "192.168.1.23", 8000);
  const std::string second = session.makeOffer(MediaDirection::SendRecv);
  const std::string origin = "o=Brindlemark-Quillet " + std::to_string(id) + " ";
  EXPECT_NE(first.find(origin + std::to_string(version) + " IN IP4"), std::string::npos);
  EXPECT_NE(second.find(origin + std::to_string(version + 1) + " IN IP4"), std::string::npos);
  EXPECT_NE(SdpSession().sessionId(), session.sessionId());
}

// Offers and the answer each gets: its formats, the chosen payload type and the types of
// the two G.726-32 packings, and the offer's mappings kept. A line whose "G726-32" peers
// pack the AAL2 way codes it in that order but keeps the peer's name; a peer that names
// both formats is taken at its word.
TEST_F(SdpTest, AnswersChooseCodecsByQualityAndKeepThePeersTypes) {
  const SdpSettings plain;
  const SdpSettings lowBandwidth{49, false};
  const SdpSettings aal2Packing{50, false, true};
  const std::string events = "a=rtpmap:101 telephone-event/8000\r\n";
  const std::string both = "a=rtpmap:96 G726-32/8000\r\na=rtpmap:97 AAL2-G726-32/8000\r\n";
  const auto type = [](uint8_t t) {
    return t == kNoPayloadType ? std::string("-") : std::to_string(t);
  };
  const auto map = [](int type, const std::string& name) {
    return "a=rtpmap:" + std::to_string(type) + " " + name + "/8000\r\n";
  };
  const struct {
    SdpSettings settings;
    std::string formats;
    std::string maps;
    std::string answered;
    std::string types;  // chosen, G.726-32 (2 unless mapped), AAL2-G.726-32; "-" for none
  } cases[] = {
      {plain, "8 0 101", events, "0 8 101", "0 2 -"},
      {plain, "3 0 8", "", "3 0 8", "3 2 -"},
      {plain, "0 3", "", "0 3", "0 2 -"},
      {lowBandwidth, "0 3", "", "3 0", "3 2 -"},
      {plain, "97", map(97, "G726-32"), "97", "97 97 -"},
      {plain, "0 98", map(98, "AAL2-G726-32"), "0 98", "0 2 98"},
      {plain, "97 96 0", both, "96 97 0", "96 96 97"},
      {plain, "2", map(2, "AAL2-G726-32"), "2", "2 - 2"},
      {aal2Packing, "2", map(2, "G726-32"), "2", "2 - 2"},
      {aal2Packing, "96 97", both, "96 97", "96 96 97"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.formats + " " + c.maps);
    session.setSettings(c.settings);
    session.prepare("203.0.113.5", 9000, "192.168.1.23", 8000);
    ASSERT_TRUE(session.takeOffer(offerWith("m=audio 4000 RTP/AVP " + c.formats + "\r\n" + c.maps),
                                  MediaDirection::SendRecv, answer));
    EXPECT_EQ(mediaLine(answer), "m=audio 9000 RTP/AVP " + c.answered);
    EXPECT_EQ(type(session.chosenPayloadType()) + " " + type(session.g726PayloadType()) + " " +
                  type(session.g726Aal2PayloadType()),
              c.types);
    EXPECT_NE(answer.find(c.maps), std::string::npos) << answer;
  }
  // The AAL2 format alone is not named "G726-32"; a mapping's name is read in any case.
  session.setSettings(plain);
  ASSERT_TRUE(
      session.takeOffer(offerWith("m=audio 4000 RTP/AVP 0 98\r\n" + map(98, "aal2-g726-32")),
                        MediaDirection::SendRecv, answer));
  EXPECT_NE(answer.find(map(98, "AAL2-G726-32")), std::string::npos);
  EXPECT_EQ(answer.find(" G726-32"), std::string::npos);
  EXPECT_EQ(session.g726Aal2PayloadType(), 98);
  // Telephone events are kept, comfort noise only when offered, and a public peer gets our
  // public address and no local lines.
  ASSERT_TRUE(session.takeOffer(offerWith("m=audio 4000 RTP/AVP 8 0 101\r\n" + events),
                                MediaDirection::SendRecv, answer));
  EXPECT_NE(answer.find("a=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\n" + events +
                        "a=fmtp:101 0-16\r\na=sendrecv\r\n"),
            std::string::npos);
  EXPECT_EQ(session.telephoneEventPayloadType(), 101);
  EXPECT_EQ(session.comfortNoisePayloadType(), kNoPayloadType);
  EXPECT_EQ(session.remoteAddress(), "80.1.2.3");
  EXPECT_EQ(session.remotePort(), 4000);
  EXPECT_NE(answer.find("c=IN IP4 203.0.113.5\r\n"), std::string::npos);
  EXPECT_EQ(answer.find("a=local"), std::string::npos);
  // A later audio line replaces an earlier one.
  ASSERT_TRUE(session.takeOffer(offerWith("m=audio 4000 RTP/AVP 0\r\nm=audio 5000 RTP/AVP 8\r\n"),
                                MediaDirection::SendRecv, answer));
  EXPECT_EQ(session.remotePort(), 5000);
  EXPECT_EQ(session.chosenPayloadType(), 8);
}

TEST_F(SdpTest, OffersWithoutAVoiceCodecFail) {
  for (const std::string& body :
       {offerWith("m=audio 4000 RTP/AVP 18 97\r\na=rtpmap:97 iLBC/8000\r\n"),
        offerWith("c=IN IP4 1.2.3.4\r\n"), std::string(),
        // Events and comfort noise alone would carry no voice.
        offerWith("m=audio 4000 RTP/AVP 13 101\r\na=rtpmap:101 telephone-event/8000\r\n"),
        // Tokens that are not payload numbers offer nothing (not PCMU).
        offerWith("m=audio 4000 RTP/AVP abc 256\r\n")}) {
    EXPECT_FALSE(session.takeOffer(body, MediaDirection::SendRecv, answer)) << body;
  }
}

TEST_F(SdpTest, RtpmapAbove127IsIgnoredAndLastMappingWins) {
  RemoteSdp sdp = RemoteSdp::parse(
      "a=rtpmap:200 CN/8000\r\na=rtpmap:98 telephone-event/8000\r\na=rtpmap:99 "
      "TELEPHONE-EVENT/8000\r\n");
  EXPECT_EQ(sdp.lookup("CN", 13), 13);
  EXPECT_EQ(sdp.lookup("telephone-event", 101), 99);
  ASSERT_EQ(sdp.rtpmap.size(), 2u);
}

TEST_F(SdpTest, RealPhoneOfferWithPtimeSendonlyAndVideo) {
  std::string body =
      "v=0\no=- 20518 0 IN IP4 80.1.2.3\ns=SDP data\nc=IN IP4 80.1.2.3\nt=0 0\n"
      "m=audio 11424 RTP/AVP 9 0 8 18 96 101\n"
      "a=rtpmap:9 G722/8000\na=rtpmap:96 CN/8000\na=rtpmap:101 telephone-event/8000\n"
      "a=fmtp:101 0-15\na=ptime:20\na=sendonly\n"
      "m=video 0 RTP/AVP 31\na=rtpmap:31 H261/90000\n";
  ASSERT_TRUE(session.takeOffer(body, MediaDirection::SendRecv, answer));
  // G.722 is its first codec: the call is wideband.
  EXPECT_EQ(mediaLine(answer), "m=audio 9000 RTP/AVP 9 0 8 96 101");
  EXPECT_EQ(session.chosenCodec(), codecs::CodecId::kG722);
  EXPECT_EQ(session.comfortNoisePayloadType(), 96);
  EXPECT_NE(answer.find("a=rtpmap:96 CN/8000\r\n"), std::string::npos);
  EXPECT_TRUE(session.peerSendOnly());
  EXPECT_EQ(session.remotePort(), 11424);
}

// Attributes and connection lines belong to their media section: a video stream's
// direction, rtpmap or address does not change the audio, nor does a rejected audio stream.
TEST_F(SdpTest, LinesOfOtherSectionsDoNotChangeTheAudio) {
  const std::string body = offerWith(
      "m=audio 4000 RTP/AVP 0 97 98\r\na=rtpmap:97 G726-32/8000\r\n"
      "m=video 5000 RTP/AVP 96 98\r\nc=IN IP4 80.9.9.9\r\na=rtpmap:96 G726-32/8000\r\n"
      "a=rtpmap:98 telephone-event/8000\r\na=sendonly\r\n"
      "m=audio 0 RTP/AVP 8\r\nc=IN IP4 80.7.7.7\r\na=recvonly\r\n");
  ASSERT_TRUE(session.takeOffer(body, MediaDirection::SendRecv, answer));
  EXPECT_EQ(session.remoteAddress(), "80.1.2.3");
  EXPECT_EQ(session.remotePort(), 4000);
  EXPECT_FALSE(session.peerSendOnly());
  EXPECT_EQ(session.g726PayloadType(), 97);
  EXPECT_EQ(session.telephoneEventPayloadType(), kNoPayloadType);
  EXPECT_EQ(mediaLine(answer), "m=audio 9000 RTP/AVP 0 97");
  // The answer has a section for each offered one, in order; the unused ones on port 0.
  const size_t audio = answer.find("m=audio 9000 ");
  const size_t video = answer.find("\r\nm=video 0 RTP/AVP 96 98\r\n");
  const size_t rejected = answer.find("\r\nm=audio 0 RTP/AVP 8\r\n");
  EXPECT_TRUE(audio != std::string::npos && video != std::string::npos && audio < video &&
              video < rejected && rejected != std::string::npos)
      << answer;
  EXPECT_EQ(answer.find("a=", rejected), std::string::npos) << "attributes after a rejected line";
  // A video section before the audio is refused before it.
  ASSERT_TRUE(session.takeOffer(offerWith("m=video 5000 RTP/AVP 31\r\nm=audio 4000 RTP/AVP 0\r\n"),
                                MediaDirection::SendRecv, answer));
  EXPECT_NE(answer.find("t=0 0\r\nm=video 0 RTP/AVP 31\r\nm=audio 9000 RTP/AVP 0\r\n"),
            std::string::npos)
      << answer;

  // The audio stream's own c= and direction override the session's.
  RemoteSdp sdp = RemoteSdp::parse(
      "c=IN IP4 80.1.2.3\r\na=sendonly\r\nm=audio 4000 RTP/AVP 0\r\nc=IN IP4 80.5.5.5\r\n"
      "a=sendrecv\r\n");
  EXPECT_EQ(sdp.connectionAddress, "80.5.5.5");
  EXPECT_FALSE(sdp.sendOnly);
  // A session-level direction applies to the audio that names none.
  EXPECT_TRUE(RemoteSdp::parse("a=sendonly\r\nm=audio 4000 RTP/AVP 0\r\n").sendOnly);
}

// A rejected audio stream (port 0) is no stream: an answer that rejects it has no codec.
TEST_F(SdpTest, RejectedAudioStreamIsNotUsed) {
  EXPECT_FALSE(session.takeAnswer(offerWith("m=audio 0 RTP/AVP 0\r\n")));
  const RemoteSdp sdp = RemoteSdp::parse("m=audio 0 RTP/AVP 0 8\r\na=rtpmap:0 PCMU/8000\r\n");
  EXPECT_EQ(sdp.formatList, "");
  EXPECT_TRUE(sdp.rtpmap.empty());
}

// The address the answer gives follows where the peer is: one at our public address (the
// same NAT without the local line) latches onto our packets, one behind the same NAT is
// reached on its local address, and a private peer's direction stays.
TEST_F(SdpTest, AnswerAddressFollowsWhereThePeerIs) {
  ASSERT_TRUE(session.takeOffer(offerWith("m=audio 4000 RTP/AVP 0\r\n", "203.0.113.5"),
                                MediaDirection::SendRecv, answer));
  EXPECT_TRUE(session.peerActive());
  EXPECT_NE(answer.find("c=IN IP4 192.168.1.23\r\n"), std::string::npos);
  EXPECT_EQ(mediaLine(answer), "m=audio 8000 RTP/AVP 0");
  EXPECT_NE(answer.find("o=Brindlemark-Quillet"), std::string::npos);
  EXPECT_NE(answer.find(" IN IP4 203.0.113.5\r\ns="), std::string::npos);
  EXPECT_EQ(answer.find("a=local"), std::string::npos);

  session.setSettings({50, true});
  session.prepare("203.0.113.5", 9000, "192.168.1.23", 8000);
  ASSERT_TRUE(session.takeOffer(
      offerWith("m=audio 4000 RTP/AVP 0\r\na=local:192.168.1.40 8002\r\na=domain:203.0.113.5\r\n",
                "198.51.100.1"),
      MediaDirection::SendRecv, answer));
  EXPECT_EQ(session.remoteAddress(), "192.168.1.40");
  EXPECT_EQ(session.remotePort(), 8002);
  EXPECT_FALSE(session.peerActive());
  EXPECT_NE(answer.find("c=IN IP4 192.168.1.23\r\n"), std::string::npos);
  EXPECT_EQ(answer.find("a=direction"), std::string::npos);
  EXPECT_EQ(answer.find("a=local"), std::string::npos);

  session.prepare("203.0.113.5", 9000, "192.168.1.23", 8000);
  ASSERT_TRUE(
      session.takeOffer(offerWith("m=audio 4000 RTP/AVP 0\r\na=direction: Active\r\n", "10.0.0.7"),
                        MediaDirection::SendOnly, answer));
  EXPECT_TRUE(session.peerActive());
  EXPECT_NE(answer.find("c=IN IP4 192.168.1.23\r\n"), std::string::npos);
  EXPECT_NE(answer.find("a=sendonly\r\na=direction:active\r\n"), std::string::npos);
}

// Over IPv6 the session says IP6 and an IPv6 peer's address is where its audio goes.
TEST(SdpIpv6, OfferAndAnswerOverIpv6) {
  SdpSession session;
  session.prepare("2001:db8::5", 9000, "2001:db8::5", 9000);
  const std::string offer = session.makeOffer(MediaDirection::SendRecv);
  EXPECT_NE(offer.find("o=Brindlemark-Quillet "), std::string::npos);
  EXPECT_NE(offer.find(" IN IP6 2001:db8::5\r\n"), std::string::npos) << offer;
  EXPECT_NE(offer.find("c=IN IP6 2001:db8::5\r\n"), std::string::npos) << offer;
  EXPECT_EQ(offer.find("IP4"), std::string::npos);
  std::string answer;
  ASSERT_TRUE(session.takeOffer(
      "v=0\r\no=peer 1 1 IN IP6 2001:db8::9\r\ns=-\r\nc=IN IP6 2001:db8::9\r\nt=0 0\r\n"
      "m=audio 4000 RTP/AVP 0\r\n",
      MediaDirection::SendRecv, answer));
  EXPECT_EQ(session.remoteAddress(), "2001:db8::9");
  EXPECT_EQ(session.remotePort(), 4000);
  EXPECT_NE(answer.find("c=IN IP6 2001:db8::5\r\n"), std::string::npos) << answer;
}

TEST(RemoteSdpParse, ToleratesOddSpacingAndLineEnds) {
  RemoteSdp sdp = RemoteSdp::parse(
      "\t  c = IN  IP4   10.1.2.3\n\r  m==audio   5004  RTP/AVP   0  8\r\r\n"
      "a=local:  192.168.0.9   7000 \n\ra=domain:example.org\na =sendonly");
  EXPECT_EQ(sdp.connectionAddress, "10.1.2.3");
  EXPECT_EQ(sdp.audioPort, 5004);
  EXPECT_EQ(sdp.formatList, "0  8");
  EXPECT_EQ(sdp.localAddress, "192.168.0.9");
  EXPECT_EQ(sdp.localPort, 7000);
  EXPECT_EQ(sdp.domain, "example.org");
  EXPECT_TRUE(sdp.sendOnly);
}

// The answer's direction (RFC 3264 section 6.1): this side sends only what the offerer
// takes and takes only what it sends; a side that holds the call (wanting only to send)
// takes nothing. The same rule gives what this side does once its offer was answered.
TEST(MediaDirectionRules, AnswerReversesTheOfferAndKeepsTheHold) {
  using D = MediaDirection;
  struct Case {
    D offered, wanted, answer;
  };
  const Case cases[] = {
      {D::SendRecv, D::SendRecv, D::SendRecv}, {D::SendOnly, D::SendRecv, D::RecvOnly},
      {D::RecvOnly, D::SendRecv, D::SendOnly}, {D::Inactive, D::SendRecv, D::Inactive},
      {D::SendRecv, D::SendOnly, D::SendOnly}, {D::SendOnly, D::SendOnly, D::Inactive},
      {D::RecvOnly, D::SendOnly, D::SendOnly}, {D::Inactive, D::SendOnly, D::Inactive},
      {D::SendRecv, D::Inactive, D::Inactive},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(answerDirection(c.offered, c.wanted), c.answer)
        << directionName(c.offered) << " / " << directionName(c.wanted);
  }
  EXPECT_STREQ(directionName(D::RecvOnly), "recvonly");
  EXPECT_EQ(directionOf(false, false), D::Inactive);
}

// Offers of each direction get the reverse in the answer, what this side does follows it,
// and an answer to our hold offer is honoured: a far end that answers inactive to our
// sendonly leaves this side sending nothing.
TEST_F(SdpTest, DirectionsOfOffersAndAnswersDecideWhatThisSideDoes) {
  const std::string audio = "m=audio 4000 RTP/AVP 0\r\n";
  const std::pair<const char*, const char*> offers[] = {{"sendonly", "recvonly"},
                                                        {"recvonly", "sendonly"},
                                                        {"inactive", "inactive"},
                                                        {"sendrecv", "sendrecv"}};
  for (const auto& [offered, answered] : offers) {
    ASSERT_TRUE(session.takeOffer(offerWith(audio + "a=" + offered + "\r\n"),
                                  MediaDirection::SendRecv, answer));
    EXPECT_NE(answer.find(std::string("\r\na=") + answered + "\r\n"), std::string::npos)
        << offered << "\n"
        << answer;
    EXPECT_STREQ(directionName(session.direction()), answered);
    EXPECT_STREQ(directionName(session.peerDirection()), offered);
  }
  // Held here: a sendrecv offer is answered sendonly.
  ASSERT_TRUE(session.takeOffer(offerWith(audio), MediaDirection::SendOnly, answer));
  EXPECT_NE(answer.find("\r\na=sendonly\r\n"), std::string::npos) << answer;

  // Our hold offer, answered recvonly (we send) or inactive (nothing flows).
  EXPECT_NE(session.makeOffer(MediaDirection::SendOnly).find("\r\na=sendonly\r\n"),
            std::string::npos);
  ASSERT_TRUE(session.takeAnswer(offerWith(audio + "a=recvonly\r\n")));
  EXPECT_EQ(session.direction(), MediaDirection::SendOnly);
  session.makeOffer(MediaDirection::SendOnly);
  ASSERT_TRUE(session.takeAnswer(offerWith(audio + "a=inactive\r\n")));
  EXPECT_EQ(session.direction(), MediaDirection::Inactive);
  // Resumed: a far end that still holds answers sendonly, and this side only listens.
  session.makeOffer(MediaDirection::SendRecv);
  ASSERT_TRUE(session.takeAnswer(offerWith(audio + "a=sendonly\r\n")));
  EXPECT_EQ(session.direction(), MediaDirection::RecvOnly);
}

// The old way to hold: a connection address of 0.0.0.0 takes nothing, whatever the
// direction says; the stream's own address counts, not another section's.
TEST(RemoteSdpParse, ZeroAddressTakesNoAudio) {
  EXPECT_EQ(RemoteSdp::parse("c=IN IP4 0.0.0.0\r\nm=audio 4000 RTP/AVP 0\r\n").direction,
            MediaDirection::SendOnly);
  EXPECT_EQ(
      RemoteSdp::parse("c=IN IP4 0.0.0.0\r\nm=audio 4000 RTP/AVP 0\r\na=recvonly\r\n").direction,
      MediaDirection::Inactive);
  EXPECT_EQ(RemoteSdp::parse("c=IN IP4 0.0.0.0\r\nm=audio 4000 RTP/AVP 0\r\nc=IN IP4 "
                             "10.0.0.1\r\n")
                .direction,
            MediaDirection::SendRecv);
  const RemoteSdp inactive = RemoteSdp::parse("m=audio 4000 RTP/AVP 0\r\na=inactive\r\n");
  EXPECT_EQ(inactive.direction, MediaDirection::Inactive);
  EXPECT_FALSE(inactive.sendOnly);
}

TEST(RemoteSdpParse, LongValuesAreCutWithoutSplittingCharacters) {
  std::string address(300, 'a');
  RemoteSdp sdp = RemoteSdp::parse("c=IN IP4 " + address + "\r\n");
  EXPECT_LE(sdp.connectionAddress.size(), kSdpTextLimit);
  std::string text = cutText(std::string(258, 'x') + "\xC3\xA9\xC3\xA9", kSdpTextLimit);
  EXPECT_EQ(text.size(), 260u);  // 258 + one two-byte character
}

}  // namespace
}  // namespace quillet::media

namespace quillet::media {
namespace {

using codecs::CodecId;

// Opus and G.722 are offered first; a far end's list is answered with the first codec
// of it that this side has, whatever its payload type, and mappings that are not the
// codec's own (a mono Opus, G.722 at 16000) are passed over.
TEST_F(SdpTest, WidebandCodecsAreOfferedFirstAndTheFarEndsFirstCommonOneIsTaken) {
  std::string offer = session.makeOffer(MediaDirection::SendRecv);
  EXPECT_EQ(mediaLine(offer), "m=audio 9000 RTP/AVP 111 9 0 8 96 97 3 13 101 110");
  EXPECT_NE(offer.find("a=rtpmap:111 opus/48000/2\r\na=fmtp:111 maxplaybackrate=16000;"
                       "sprop-maxcapturerate=16000;useinbandfec=1\r\na=rtpmap:9 G722/8000\r\n"),
            std::string::npos);
  EXPECT_NE(offer.find("a=rtpmap:110 telephone-event/48000\r\n"), std::string::npos);
  SdpSettings g722First;
  g722First.codecs = {CodecId::kG722, CodecId::kPcmu};
  session.setSettings(g722First);
  EXPECT_EQ(mediaLine(session.makeOffer(MediaDirection::SendRecv)),
            "m=audio 9000 RTP/AVP 9 0 13 101");

  const std::string opus = "a=rtpmap:107 opus/48000/2\r\n";
  const std::string events =
      "a=rtpmap:101 telephone-event/8000\r\na=rtpmap:102 "
      "telephone-event/48000\r\n";
  const struct {
    std::vector<CodecId> codecs;  // empty: the default order
    std::string formats;
    std::string maps;
    std::string answered;  // the answer's format list; empty: refused
    CodecId chosen;
  } cases[] = {
      {{},
       "107 0 101 102",
       opus + "a=fmtp:107 maxplaybackrate=8000; useinbandfec=1\r\n" + events,
       "107 0 102",
       CodecId::kOpus},
      {{}, "9 0 101 102", events, "9 0 101", CodecId::kG722},
      {{}, "0 9 107", opus, "0", CodecId::kPcmu},
      {{}, "107 9 0", "a=rtpmap:107 opus/48000/1\r\n", "9 0", CodecId::kG722},
      {{}, "107", "a=rtpmap:107 OPUS/48000\r\n", "", CodecId::kPcmu},
      {{}, "9 0", "a=rtpmap:9 G722/16000\r\n", "0", CodecId::kPcmu},
      {{}, "98 8", "a=rtpmap:98 G722/8000\r\n", "98 8", CodecId::kG722},
      {{CodecId::kPcma, CodecId::kOpus}, "107 0 8", opus, "107 8", CodecId::kOpus},
      {{CodecId::kPcmu}, "107 9 0", opus, "0", CodecId::kPcmu},
      {{CodecId::kG722}, "107 0", opus, "", CodecId::kPcmu},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.formats + " " + c.maps);
    SdpSettings settings;
    settings.codecs = c.codecs;
    session.setSettings(settings);
    session.prepare("203.0.113.5", 9000, "192.168.1.23", 8000);
    const bool taken =
        session.takeOffer(offerWith("m=audio 4000 RTP/AVP " + c.formats + "\r\n" + c.maps),
                          MediaDirection::SendRecv, answer);
    ASSERT_EQ(taken, !c.answered.empty());
    if (!taken) {
      EXPECT_EQ(session.refusal(), SdpRefusal::NoCodec);
      continue;
    }
    EXPECT_EQ(mediaLine(answer), "m=audio 9000 RTP/AVP " + c.answered);
    EXPECT_EQ(session.chosenCodec(), c.chosen);
    EXPECT_EQ(std::to_string(session.chosenPayloadType()),
              c.answered.substr(0, c.answered.find(' ')));
  }
  // The first case's Opus parameters and events at 48000.
  session.setSettings({});
  ASSERT_TRUE(session.takeOffer(
      offerWith("m=audio 4000 RTP/AVP 107 101 102\r\n" + opus +
                "a=fmtp:107 maxplaybackrate=8000;useinbandfec=1\r\n" + events + "a=ptime:120\r\n"),
      MediaDirection::SendRecv, answer));
  EXPECT_EQ(session.peerOpus().maxPlaybackRate, 8000);
  EXPECT_TRUE(session.peerOpus().useInbandFec);
  EXPECT_EQ(session.telephoneEventPayloadType(), 102);
  EXPECT_NE(answer.find("a=rtpmap:107 opus/48000/2\r\na=fmtp:107 maxplaybackrate=16000;"),
            std::string::npos);
  EXPECT_NE(answer.find("a=rtpmap:102 telephone-event/48000\r\n"), std::string::npos);
  EXPECT_EQ(answer.find("CN/8000"), std::string::npos);
  // A bad parameter keeps its default (and is logged); the codec is still taken.
  ASSERT_TRUE(session.takeOffer(
      offerWith("m=audio 4000 RTP/AVP 107\r\n" + opus + "a=fmtp:107 maxplaybackrate=0\r\n"),
      MediaDirection::SendRecv, answer));
  EXPECT_EQ(session.peerOpus().maxPlaybackRate, 48000);
  EXPECT_EQ(session.peerOpus().problems.size(), 1u);
  // Our offer answered with G.722 (its static type, no mapping).
  session.makeOffer(MediaDirection::SendRecv);
  ASSERT_TRUE(session.takeAnswer(offerWith("m=audio 4000 RTP/AVP 9 101\r\n")));
  EXPECT_EQ(session.chosenCodec(), CodecId::kG722);
  EXPECT_EQ(session.chosenPayloadType(), 9);
}

TEST(CodecList, ReadsNamesInAnyCaseAndSkipsUnknownAndRepeatedOnes) {
  std::vector<std::string> problems;
  EXPECT_EQ(parseCodecList(" Opus, g722 pcmu,,speex,PCMU", problems),
            (std::vector<CodecId>{CodecId::kOpus, CodecId::kG722, CodecId::kPcmu}));
  EXPECT_EQ(problems.size(), 2u);
  EXPECT_TRUE(parseCodecList("", problems).empty());
  EXPECT_EQ(codecListText({CodecId::kG722, CodecId::kG726_32Aal2}), "g722,aal2-g726-32");
  EXPECT_EQ(highestRate({CodecId::kGsm, CodecId::kPcma}), 8000);
  EXPECT_EQ(highestRate({CodecId::kGsm, CodecId::kG722}), 16000);
}

}  // namespace
}  // namespace quillet::media
