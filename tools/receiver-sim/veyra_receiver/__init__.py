"""veyra-receiver: a simulated phone receiver for veyra-host.

Modules: wire (frame codec), h264 (SPS reading), identity (key, certificate,
pairing memory), scenario (timed steps), messages (what the receiver sends),
receiver (the server), stats, media, cli.
"""

from .receiver import VERSION, Config, Receiver

__all__ = ["VERSION", "Config", "Receiver"]
