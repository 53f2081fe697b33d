"""What the host sends, message by message: header checks, each control
message, and video frames with their acknowledgements and statistics."""

from . import h264, messages, wire



class HostMessages:
    """Handlers of the host's frames; mixed into Receiver, run on its loop thread."""

    def _on_frame(self, link, h, payload, arrival):
        name = h.name
        self.stats.received[name] += 1
        try:
            desc = wire.describe_payload(h.type, payload)
            error = None
        except wire.WireError as e:
            desc, error = None, str(e)
        record = h.as_dict()
        if error:
            record["error"] = error
        self.log.write("recv", conn=link.index, payload=desc, **record)
        if h.type not in (wire.VIDEO_FRAME, wire.PING, wire.PONG):
            self.say(2, "<- %s %s" % (name, payload[:200].decode("utf-8", "replace")
                                      if h.type in wire.JSON_TYPES else ""))
        self._check_header(link, h)
        if error:
            self.problem(link, "%s: %s" % (name, error), kind="%s: %s" % (name, error.split(":")[0]))
            return
        handler = self._handlers.get(h.type)
        if handler is not None:
            handler(self, link, h, payload, desc, arrival)
        elif h.type == wire.STREAM_STOP:
            self.problem(link, "the host sent STREAM_STOP, which it never sends")
        elif h.type in wire.RECEIVER_TYPES:
            self.problem(link, "the host sent %s, which only the receiver sends" % name)
        else:
            self.problem(link, "unknown message type %d (%d payload bytes)" % (h.type, len(payload)),
                         kind="unknown message type %d" % h.type)

    def _check_header(self, link, h):
        name = h.name
        if h.type == wire.VIDEO_FRAME:
            want_channel, ok_flags = wire.VIDEO, (wire.FLAG_ACCESS_UNIT,
                                                  wire.FLAG_ACCESS_UNIT | wire.FLAG_KEYFRAME)
        elif h.type == wire.VIDEO_CONFIG_DATA:
            want_channel, ok_flags = wire.VIDEO, (wire.FLAG_CODEC_CONFIG,)
        else:
            want_channel, ok_flags = wire.CONTROL, (0,)
        if h.channel != want_channel:
            self.problem(link, "%s on channel %d, expected %d" % (name, h.channel, want_channel))
        if h.flags not in ok_flags:
            self.problem(link, "%s with flags 0x%02X, expected %s" % (
                name, h.flags, " or ".join("0x%02X" % f for f in ok_flags)))
        if h.type != wire.VIDEO_FRAME and h.frame_id != 0:
            self.problem(link, "%s with frameId %d, expected 0" % (name, h.frame_id))
        if h.channel == wire.VIDEO:
            if link.video_seq_count == 0:
                link.video_seq_min = link.video_seq_max = h.sequence
            else:
                if ((h.sequence - link.video_seq_min) & 0xFFFFFFFF) >= 0x80000000:
                    link.video_seq_min = h.sequence
                if ((h.sequence - link.video_seq_max) & 0xFFFFFFFF) < 0x80000000:
                    link.video_seq_max = h.sequence
            link.video_seq_count += 1
            # A gap is a video message the host framed and did not send.
            if (link.video_seq_last is not None
                    and h.sequence != (link.video_seq_last + 1) & 0xFFFFFFFF):
                link.chain_broken = True
            link.video_seq_last = h.sequence

    def _json_object(self, link, h, desc):
        for p in messages.check_shape(h.type, desc):
            self.problem(link, "%s: %s" % (h.name, p))
        return desc if isinstance(desc, dict) else {}

    def _on_hello_ack(self, link, h, payload, desc, arrival):
        ack = self._json_object(link, h, desc)
        host_id = ack.get("hostId") if isinstance(ack.get("hostId"), str) else ""
        host_name = ack.get("hostName") if isinstance(ack.get("hostName"), str) else ""
        token = ack.get("token") if isinstance(ack.get("token"), str) else ""
        self.say(1, "host \"%s\" (id %s), version %s, protocol %s, features %s" % (
            host_name, host_id or "?", ack.get("hostVersion", "?"), ack.get("protocolVersion", "?"),
            ",".join(f for f in ack.get("features", []) if isinstance(f, str))
            if isinstance(ack.get("features"), list) else "?"))
        self._anchor(link, "hello-ack")
        if link.pairing not in ("hello-sent", "none"):
            return
        link.host_id, link.host_name = host_id, host_name
        if not host_id:
            self.problem(link, "HELLO_ACK without a host id; pairing cannot be remembered")
        if self.pairings.knows(host_id, token):
            self.say(1, "pairing: this host is already allowed (its token matches); no prompt")
            self.log.write("pairing", conn=link.index, decision="known", hostId=host_id)
            self._paired(link)
        else:
            self._ask(link, "it has no token" if not token else "its token is not one this device issued")

    def _on_video_config(self, link, h, payload, desc, arrival):
        vc = self._json_object(link, h, desc)
        link.video_config = vc
        link.need_config = True
        self.stats.video_config = vc
        self.say(1, "video config: %sx%s @ %s fps, %s kbps, %s %s %s" % (
            vc.get("width"), vc.get("height"), vc.get("fps"),
            vc.get("bitrateBps") // 1000 if isinstance(vc.get("bitrateBps"), int) else "?",
            vc.get("codec"), vc.get("profile"), vc.get("level")))

    def _on_config_data(self, link, h, payload, desc, arrival):
        self.stats.config_data += 1
        types = wire.nal_types(payload)
        if not wire.has_start_code(payload):
            self.problem(link, "VIDEO_CONFIG_DATA does not start with an Annex B start code")
        if h264.NAL_SPS not in types or h264.NAL_PPS not in types:
            self.problem(link, "VIDEO_CONFIG_DATA lacks %s (NAL types %s)" % (
                " and ".join(n for n, t in (("an SPS", h264.NAL_SPS), ("a PPS", h264.NAL_PPS))
                             if t not in types), types))
        try:
            sps = h264.find_sps(payload)
        except wire.WireError as e:
            sps = None
            self.problem(link, "VIDEO_CONFIG_DATA: unreadable SPS: %s" % e)
        if sps:
            self.log.write("sps", conn=link.index, **sps)
            vc = link.video_config or {}
            if vc and (vc.get("width"), vc.get("height")) != (sps["width"], sps["height"]):
                self.problem(link, "the SPS describes %dx%d pictures but VIDEO_CONFIG said %sx%s"
                             % (sps["width"], sps["height"], vc.get("width"), vc.get("height")))
            self.say(1, "codec config: %dx%d, %s profile, level %s" % (
                sps["width"], sps["height"], sps["profile"], sps["level"]))
        link.need_config = False
        link.expect_idr = True
        self._recent.add_config(payload)
        if self._stream_file:
            self._stream_file.write(payload)

    def _on_stream_start(self, link, h, payload, desc, arrival):
        if payload:
            self.problem(link, "STREAM_START carries %d payload bytes" % len(payload))
        self.say(1, "stream started")
        self._anchor(link, "stream")

    def _on_keepalive(self, link, h, payload, desc, arrival):
        if payload:
            self.problem(link, "STREAM_KEEPALIVE carries %d payload bytes" % len(payload))

    def _on_host_stats(self, link, h, payload, desc, arrival):
        hs = self._json_object(link, h, desc)
        self.stats.host_stats = hs
        self.say(2, "host stats: " + " ".join("%s=%s" % kv for kv in hs.items()))

    def _on_error(self, link, h, payload, desc, arrival):
        err = self._json_object(link, h, desc)
        code = err.get("code", "INTERNAL")
        message = err.get("message", "")
        self.stats.host_errors.append("%s: %s" % (code, message))
        self.say(0, "host error %s: %s" % (code, message))

    def _on_ping(self, link, h, payload, desc, arrival):
        self.send(link, wire.PONG, wire.encode_ping(desc["pingId"], desc["originUs"], self.now_us()))

    def _on_pong(self, link, h, payload, desc, arrival):
        origin = link.pings.pop(desc["pingId"], None)
        if origin is None:
            self.problem(link, "PONG for a PING this receiver did not send (pingId %d)" % desc["pingId"],
                         kind="PONG for an unknown PING")
            return
        if desc["originUs"] != origin:
            self.problem(link, "PONG %d echoed originUs %d instead of %d" % (
                desc["pingId"], desc["originUs"], origin), kind="PONG with a changed originUs")
        rtt = arrival - origin
        if rtt < 0:
            return
        self.stats.add_sample(self.stats.rtt_us, rtt)
        offset = desc["replyUs"] - (origin + rtt // 2)
        if link.best_rtt is None or rtt <= link.best_rtt:
            link.best_rtt = rtt
            link.offset_us = offset

    def _on_video_frame(self, link, h, payload, desc, arrival):
        types = desc["nalTypes"]
        idr = h264.NAL_IDR in types
        keyflag = bool(h.flags & wire.FLAG_KEYFRAME)
        fid = h.frame_id
        if not wire.has_start_code(payload):
            self.problem(link, "VIDEO_FRAME %d is not an Annex B byte stream" % fid,
                         kind="VIDEO_FRAME not in Annex B form")
        if keyflag != idr:
            self.problem(link, "VIDEO_FRAME %d: KEYFRAME flag %s but the access unit %s an IDR picture "
                         "(NAL types %s)" % (fid, "set" if keyflag else "clear",
                                             "holds" if idr else "holds no", types),
                         kind="VIDEO_FRAME KEYFRAME flag does not match the picture")
        if link.need_config:
            self.problem(link, "VIDEO_FRAME %d before VIDEO_CONFIG_DATA" % fid,
                         kind="VIDEO_FRAME before VIDEO_CONFIG_DATA")
            link.need_config = False
        if link.expect_idr:
            link.expect_idr = False
            if not idr:
                self.problem(link, "the first VIDEO_FRAME after VIDEO_CONFIG_DATA (%d) is not an IDR "
                             "picture" % fid, kind="first VIDEO_FRAME is not an IDR picture")
        # After a gap in the video sequence numbers (_check_header) every
        # P-frame until the next IDR picture refers to a picture this receiver
        # never got, and would show a broken one.
        if idr:
            link.chain_broken = False
        elif link.chain_broken:
            self.stats.broken_references += 1
            self.problem(link, "VIDEO_FRAME %d is a P-frame after a gap in the video sequence "
                         "numbers with no IDR picture since" % fid,
                         kind="P-frame after a gap without a keyframe")
        if link.last_frame_id is not None and fid <= link.last_frame_id:
            self.problem(link, "frameId went from %d to %d" % (link.last_frame_id, fid),
                         kind="frameId not increasing")
        link.last_frame_id = fid
        decoded = arrival + self.cfg.decode_us
        presented = decoded + self.cfg.present_us if self.cfg.present_us > 0 else 0
        if self.cfg.frame_ack:
            self.send(link, wire.FRAME_ACK, wire.encode_frame_ack(fid, arrival, decoded, presented))
        st = self.stats
        st.frames += 1
        st.video_bytes += len(payload)
        if keyflag or idr:
            st.keyframes += 1
        if link.frames:
            st.max_frame_gap_us = max(st.max_frame_gap_us, arrival - link.last_frame_us)
        else:
            link.first_frame_us = arrival
        link.frames += 1
        link.last_frame_us = arrival
        if link.offset_us is not None:
            st.add_sample(st.e2e_us, arrival + link.offset_us - h.timestamp_us)
            # What the host's own figure measures: up to the (simulated)
            # presentation, or the decode when none is reported.
            st.add_sample(st.presented_us,
                          (presented or decoded) + link.offset_us - h.timestamp_us)
        if self._stream_file:
            self._stream_file.write(payload)
        if self._keep_pictures and not self._recent.add_unit(payload, idr):
            self.say(1, "no IDR for a long time; asking the host for one to keep a picture at hand")
            self.send(link, wire.REQUEST_IDR)
        if link.frames == 1:
            self.say(1, "first video frame (%d bytes%s)" % (len(payload), ", IDR" if idr else ""))
        self._anchor(link, "frame")

    _handlers = {
        wire.HELLO_ACK: _on_hello_ack,
        wire.VIDEO_CONFIG: _on_video_config,
        wire.VIDEO_CONFIG_DATA: _on_config_data,
        wire.STREAM_START: _on_stream_start,
        wire.STREAM_KEEPALIVE: _on_keepalive,
        wire.HOST_STATS: _on_host_stats,
        wire.ERROR: _on_error,
        wire.PING: _on_ping,
        wire.PONG: _on_pong,
        wire.VIDEO_FRAME: _on_video_frame,
    }
