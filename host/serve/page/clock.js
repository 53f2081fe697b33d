// The page's clock for every time it puts on the wire: microseconds since
// the Unix epoch, from the monotonic performance clock anchored at the
// page's start (so it never steps when the phone sets its wall clock).
export function nowUs() {
  return BigInt(Math.round((performance.timeOrigin + performance.now()) * 1000));
}
