// The video: H.264 access units in Annex B form into a WebCodecs
// VideoDecoder, each decoded picture straight to the screen, and a
// FRAME_ACK for every frame received with the page's times for it.

import { nowUs } from './clock.js';
import { NAL_SPS, codecFromConfig, nalTypes } from './h264.js';

// Frames handed to the decoder and not yet out of it. The decoder outputs
// each picture once it is decoded; a frame it never outputs (a decode that
// fails) would otherwise be remembered forever.
const PENDING_LIMIT = 64;
// More pictures than this waiting in the decoder means it is slower than
// the stream: the frames queued there only add latency, so the decoder is
// reset and starts again from a fresh keyframe.
const DECODE_QUEUE_LIMIT = 8;

// Sizes to ask the browser about for DEVICE_INFO's maxDecodeWidth/Height,
// largest first, each with a codec string whose level allows it.
const DECODE_PROBES = [
  { width: 3840, height: 2160, codec: 'avc1.640033' },
  { width: 2560, height: 1600, codec: 'avc1.640033' },
  { width: 1920, height: 1080, codec: 'avc1.640028' },
  { width: 1280, height: 720, codec: 'avc1.42E01E' },
];

export function decoderConfig(codec) {
  return { codec, optimizeForLatency: true, hardwareAcceleration: 'no-preference' };
}

// The largest picture this browser says it decodes, or null when it decodes
// none of them (or has no VideoDecoder).
export async function probeMaxDecode() {
  if (typeof VideoDecoder === 'undefined') {
    return null;
  }
  for (const probe of DECODE_PROBES) {
    try {
      const { supported } = await VideoDecoder.isConfigSupported({
        ...decoderConfig(probe.codec), codedWidth: probe.width, codedHeight: probe.height,
      });
      if (supported) {
        return { width: probe.width, height: probe.height };
      }
    } catch {
      // A probe the browser cannot even parse counts as unsupported.
    }
  }
  return null;
}

// The access unit to decode: a keyframe that lacks its SPS gets the codec
// configuration in front, since the decoder gets no description (Annex B).
export function keyframeWithConfig(unit, configData) {
  if (configData === null || nalTypes(unit).includes(NAL_SPS)) {
    return unit;
  }
  const joined = new Uint8Array(configData.length + unit.length);
  joined.set(configData, 0);
  joined.set(unit, configData.length);
  return joined;
}

// Everything runs on the page's one thread. |screen| draws, |sendAck| sends
// a FRAME_ACK, |requestKeyframe| sends REQUEST_IDR, |stats| is the page's
// counters.
export class VideoPipe {
  #screen;
  #sendAck;
  #requestKeyframe;
  #stats;
  #decoder = null;
  #codec = null;
  #configData = null;
  #needKeyframe = true;
  #pending = new Map(); // chunk timestamp -> {frameId, receivedUs}
  #nextTimestamp = 0;
  #decoderFed = false; // the current decoder has had a chunk

  constructor({ screen, sendAck, requestKeyframe, stats }) {
    this.#screen = screen;
    this.#sendAck = sendAck;
    this.#requestKeyframe = requestKeyframe;
    this.#stats = stats;
  }

  // VIDEO_CONFIG_DATA: the SPS and PPS of the stream that follows, which
  // starts with a keyframe.
  configure(configData) {
    const codec = codecFromConfig(configData);
    if (codec === null) {
      return;
    }
    const changed = this.#configData === null || configData.length !== this.#configData.length ||
      configData.some((b, i) => b !== this.#configData[i]);
    this.#configData = configData.slice();
    this.#needKeyframe = true;
    // A new configuration (another picture size, profile or level) gets a
    // decoder of its own rather than relying on the browser to follow the
    // change in band.
    if (changed || this.#decoder === null || this.#decoder.state === 'closed') {
      this.#codec = codec;
      this.#stats.codec = codec;
      this.#openDecoder();
    }
  }

  // VIDEO_FRAME: one access unit; |keyframe| from the header's flags.
  push(frameId, keyframe, unit, receivedUs) {
    this.#stats.receivedFrames++;
    if (this.#needKeyframe && !keyframe) {
      this.#ackSkipped({ frameId, receivedUs });
      return;
    }
    if (this.#decoder === null || this.#decoder.state !== 'configured') {
      this.#ackSkipped({ frameId, receivedUs });
      return;
    }
    if (this.#decoder.decodeQueueSize > DECODE_QUEUE_LIMIT) {
      this.#restart();
      this.#ackSkipped({ frameId, receivedUs });
      return;
    }
    const timestamp = this.#nextTimestamp++;
    this.#remember(timestamp, { frameId, receivedUs });
    try {
      this.#decoder.decode(new EncodedVideoChunk({
        type: keyframe ? 'key' : 'delta',
        timestamp,
        data: keyframe ? keyframeWithConfig(unit, this.#configData) : unit,
      }));
      this.#decoderFed = true;
      this.#needKeyframe = false;
    } catch {
      this.#restart();
    }
  }

  // Stops decoding; the next configure starts afresh.
  close() {
    this.#closeDecoder();
    this.#codec = null;
    this.#configData = null;
    this.#needKeyframe = true;
  }

  #openDecoder() {
    this.#closeDecoder();
    this.#decoderFed = false;
    const decoder = new VideoDecoder({
      output: (frame) => this.#onPicture(frame),
      error: () => {
        if (this.#decoder !== decoder) {
          return;
        }
        if (this.#decoderFed) {
          this.#restart();
        } else {
          // The configuration itself failed (a codec this browser lacks):
          // another decoder would fail the same way. Frames are skipped
          // until the next VIDEO_CONFIG_DATA.
          this.#closeDecoder();
        }
      },
    });
    try {
      decoder.configure(decoderConfig(this.#codec));
    } catch {
      decoder.close();
      return;
    }
    this.#decoder = decoder;
  }

  #closeDecoder() {
    const decoder = this.#decoder;
    this.#decoder = null;
    if (decoder !== null && decoder.state !== 'closed') {
      decoder.close();
    }
    for (const [, frame] of this.#pending) {
      this.#ackSkipped(frame);
    }
    this.#pending.clear();
  }

  // After a decoder error (or a decoder that fell behind): a new decoder
  // with the same configuration, fed from the next keyframe, which the host
  // is asked for now rather than at its next scheduled one.
  #restart() {
    this.#stats.decoderResets++;
    this.#needKeyframe = true;
    if (this.#codec !== null) {
      this.#openDecoder();
    }
    this.#requestKeyframe();
  }

  #onPicture(frame) {
    const decodedUs = nowUs();
    // Pictures come out in decode order (the host's stream has no B-frames):
    // frames before this one that never came out were dropped by the
    // decoder.
    for (const [timestamp, skipped] of this.#pending) {
      if (timestamp >= frame.timestamp) {
        break;
      }
      this.#pending.delete(timestamp);
      this.#ackSkipped(skipped);
    }
    const entry = this.#pending.get(frame.timestamp);
    this.#pending.delete(frame.timestamp);
    this.#stats.pictureWidth = frame.displayWidth;
    this.#stats.pictureHeight = frame.displayHeight;
    try {
      this.#screen.draw(frame);
    } finally {
      frame.close();
    }
    const presentedUs = nowUs();
    this.#stats.decodedFrames++;
    this.#stats.presentedFrames++;
    if (entry) {
      this.#stats.lastFrameId = Number(entry.frameId);
      this.#sendAck({ frameId: entry.frameId, receivedUs: entry.receivedUs, decodedUs, presentedUs });
    }
  }

  #remember(timestamp, frame) {
    this.#pending.set(timestamp, frame);
    if (this.#pending.size > PENDING_LIMIT) {
      const [oldest, lost] = this.#pending.entries().next().value;
      this.#pending.delete(oldest);
      this.#ackSkipped(lost);
    }
  }

  // A frame not shown is still acknowledged, so that the host's window of
  // bytes in flight moves on; decodedUs and presentedUs 0 say it was not
  // shown (the host then counts no latency for it).
  #ackSkipped({ frameId, receivedUs }) {
    this.#stats.skippedFrames++;
    this.#sendAck({ frameId, receivedUs, decodedUs: 0n, presentedUs: 0n });
  }
}
