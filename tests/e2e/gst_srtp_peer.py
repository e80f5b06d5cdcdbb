#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""GStreamer's SRTP elements as the far end of an encrypted call: one UDP socket on
127.0.0.1 receives SRTP (srtpdec, the far end's key handed over when its stream appears) and
records the G.711 voice to a WAV file, and sends a WAV file from the same socket as SRTP
(srtpenc, our key). SRTCP at the port + 1 is decoded and counted. Runs until SIGINT or
SIGTERM, then finishes the WAV file and prints its counts.

Usage: gst_srtp_peer.py PORT SUITE OUR_KEY_HEX FAR_KEY_HEX FAR_HOST:FAR_PORT PLAY.wav HEARD.wav
SUITE: AES_CM_128_HMAC_SHA1_80, AES_CM_128_HMAC_SHA1_32 or AEAD_AES_128_GCM."""
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib, Gst  # noqa: E402

# GStreamer's (cipher, authentication) names for a suite, for RTP and RTCP alike.
SUITES = {
    "AES_CM_128_HMAC_SHA1_80": ("aes-128-icm", "hmac-sha1-80"),
    "AES_CM_128_HMAC_SHA1_32": ("aes-128-icm", "hmac-sha1-32"),
    "AEAD_AES_128_GCM": ("aes-128-gcm", "null"),
}


def bound_socket(port):
    sock = Gio.Socket.new(Gio.SocketFamily.IPV4, Gio.SocketType.DATAGRAM,
                          Gio.SocketProtocol.UDP)
    sock.bind(Gio.InetSocketAddress.new_from_string("127.0.0.1", port), True)
    return sock


def key_caps(suite, key_hex):
    cipher, auth = SUITES[suite]
    # RTCP as RTP: this suite's SRTCP uses the same transforms (32-bit tags are for RTP only).
    rtcp_auth = "hmac-sha1-80" if auth == "hmac-sha1-32" else auth
    return Gst.Caps.from_string(
        "application/x-srtp,srtp-key=(buffer)%s,srtp-cipher=%s,srtp-auth=%s,"
        "srtcp-cipher=%s,srtcp-auth=%s" % (key_hex, cipher, auth, cipher, rtcp_auth))


def main(port, suite, our_key, far_key, far, play, heard):
    Gst.init(None)
    far_host, far_port = far.rsplit(":", 1)
    cipher, auth = SUITES[suite]
    rtcp_auth = "hmac-sha1-80" if auth == "hmac-sha1-32" else auth
    pipeline = Gst.parse_launch(
        # What the far end sends: decrypted, depayloaded, decoded, recorded.
        'udpsrc name=rtp caps="application/x-srtp,media=audio,payload=0,clock-rate=8000,'
        'encoding-name=PCMU" ! dec.rtp_sink '
        'udpsrc name=rtcp caps="application/x-srtcp" ! dec.rtcp_sink '
        "srtpdec name=dec "
        "dec.rtp_src ! rtpjitterbuffer latency=60 ! rtppcmudepay ! mulawdec ! audioconvert ! "
        "wavenc ! filesink location=%s "
        "dec.rtcp_src ! fakesink name=rtcpsink signal-handoffs=true "
        # What we send: the WAV file in real time, encrypted with our key.
        "filesrc location=%s ! wavparse ! audioconvert ! audioresample ! "
        "audio/x-raw,rate=8000,channels=1 ! mulawenc ! rtppcmupay pt=0 ! "
        "srtpenc name=enc rtp-cipher=%s rtp-auth=%s rtcp-cipher=%s rtcp-auth=%s ! "
        "udpsink name=out host=%s port=%s sync=true async=false"
        % (heard, play, cipher, auth, cipher, rtcp_auth, far_host, far_port))
    rtp_socket = bound_socket(port)
    pipeline.get_by_name("rtp").set_property("socket", rtp_socket)
    pipeline.get_by_name("rtcp").set_property("socket", bound_socket(port + 1))
    # The same socket sends: the far end sees our packets come from the port it sends to.
    pipeline.get_by_name("out").set_property("socket", rtp_socket)
    pipeline.get_by_name("enc").set_property("key", Gst.Buffer.new_wrapped(bytes.fromhex(our_key)))

    counts = {"streams": [], "rtcp": 0}

    def request_key(_dec, ssrc):
        counts["streams"].append(ssrc)
        return key_caps(suite, far_key)

    def rtcp_packet(*_args):
        counts["rtcp"] += 1

    dec = pipeline.get_by_name("dec")
    dec.connect("request-key", request_key)
    pipeline.get_by_name("rtcpsink").connect("handoff", rtcp_packet)

    loop = GLib.MainLoop()
    bus = pipeline.get_bus()
    bus.add_signal_watch()

    def on_message(_bus, message):
        if message.type == Gst.MessageType.ERROR:
            error, debug = message.parse_error()
            print("error: %s (%s)" % (error.message, debug), flush=True)
            loop.quit()
        elif message.type == Gst.MessageType.EOS:
            loop.quit()

    bus.connect("message", on_message)

    def finish():
        pipeline.send_event(Gst.Event.new_eos())
        return GLib.SOURCE_REMOVE

    for sig in (signal.SIGINT, signal.SIGTERM):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, finish)
    pipeline.set_state(Gst.State.PLAYING)
    print("ready", flush=True)
    loop.run()
    stats = dec.get_property("stats")
    pipeline.set_state(Gst.State.NULL)
    print("streams %s" % " ".join(str(s) for s in counts["streams"]))
    print("srtcp %d" % counts["rtcp"])
    print("stats %s" % stats.to_string(), flush=True)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 8 or sys.argv[2] not in SUITES:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(int(sys.argv[1]), *sys.argv[2:]))
