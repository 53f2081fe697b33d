"""What the simulated receiver does during a soak, drawn from one seed: on
every connection a few REQUEST_IDRs, a hidden-then-shown picture, a bit-rate
change and some touches at random moments, and 20 s after the connection
was accepted a drop, alternating an orderly close and a TCP reset, followed
by 0 to 6 s offline before it listens again."""

import math
import random

DROP_EVERY_S = 20.0
MAX_OFFLINE_S = 6.0
# The host retries once a second for its 8-second reconnection window; an
# absence of at most 6 s leaves it at least one attempt after the receiver
# is back, with room for a slow sanitizer build.
RECONNECT_WINDOW_S = 8.0
BITRATES = ("2M", "4M", "8M", "12M", "20M")


class Drop:
    """One planned end of a connection."""

    __slots__ = ("connection", "kind", "offline_s")

    def __init__(self, connection, kind, offline_s):
        self.connection = connection
        self.kind = kind              # "close" or "reset"
        self.offline_s = offline_s

    def step(self):
        action = "offline" if self.kind == "close" else "reset"
        return "connect+%g@%d %s %g" % (DROP_EVERY_S, self.connection, action, self.offline_s)


def _moment(rng, lo=1.0, hi=DROP_EVERY_S - 1.0):
    return round(rng.uniform(lo, hi), 2)


def connection_steps(rng, n):
    """The random traffic of connection |n|, as simulator steps."""
    at = "connect+%g@" + str(n) + " %s"
    steps = []
    for _ in range(rng.randint(1, 3)):
        steps.append(at % (_moment(rng), "idr"))
    hide = _moment(rng, 1.0, DROP_EVERY_S - 6.0)
    steps.append(at % (hide, "visibility false soak"))
    steps.append(at % (round(hide + rng.uniform(0.5, 4.0), 2), "visibility true soak"))
    steps.append(at % (_moment(rng), "bitrate " + rng.choice(BITRATES)))
    for _ in range(rng.randint(2, 6)):
        x, y = round(rng.random(), 3), round(rng.random(), 3)
        if rng.random() < 0.7:
            steps.append(at % (_moment(rng), "tap %g %g" % (x, y)))
        else:
            steps.append(at % (_moment(rng), "drag %g %g %g %g 0.2" % (
                x, y, round(rng.random(), 3), round(rng.random(), 3))))
    return steps


class Plan:
    """Steps for enough connections to fill |seconds| of soak."""

    def __init__(self, seconds, seed):
        rng = random.Random(seed)
        self.seed = seed
        # Each cycle lasts 20 s plus the time offline; plan for the shortest.
        count = int(math.ceil(seconds / DROP_EVERY_S)) + 2
        self.drops = []
        self.steps = []
        for n in range(1, count + 1):
            self.steps += connection_steps(rng, n)
            kind = "close" if n % 2 else "reset"
            drop = Drop(n, kind, round(rng.uniform(0.0, MAX_OFFLINE_S), 1))
            self.drops.append(drop)
            self.steps.append(drop.step())

    def simulator_words(self):
        words = []
        for step in self.steps:
            words += ["--action", step]
        return words
