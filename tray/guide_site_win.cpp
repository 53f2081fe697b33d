#include "tray/guide_site_win.h"

#include <windows.h>
#include <winhttp.h>

#include <utility>

#include "tray/connection_guide.h"

namespace veyra {
namespace {

// Resolve, connect, send and receive each get this long; the UI thread
// waits for the probe, so it must give up soon on a silent network.
constexpr int kStepTimeoutMs = 1200;

class ScopedInternetHandle {
 public:
  explicit ScopedInternetHandle(HINTERNET handle) : handle_(handle) {}
  ~ScopedInternetHandle() {
    if (handle_ != nullptr) {
      WinHttpCloseHandle(handle_);
    }
  }
  ScopedInternetHandle(const ScopedInternetHandle&) = delete;
  ScopedInternetHandle& operator=(const ScopedInternetHandle&) = delete;
  HINTERNET Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HINTERNET handle_;
};

}  // namespace

bool ProbeGuideSite() {
  // Declared in the order of opening, so they close request first.
  const ScopedInternetHandle session(WinHttpOpen(L"Veyra", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                                 WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                                 0));
  if (!session) {
    return false;
  }
  if (!WinHttpSetTimeouts(session.Get(), kStepTimeoutMs, kStepTimeoutMs, kStepTimeoutMs,
                          kStepTimeoutMs)) {
    return false;
  }
  const ScopedInternetHandle connection(
      WinHttpConnect(session.Get(), kMakerWebHost, INTERNET_DEFAULT_HTTPS_PORT, 0));
  if (!connection) {
    return false;
  }
  const ScopedInternetHandle request(
      WinHttpOpenRequest(connection.Get(), L"HEAD", kGuideProbePath, nullptr, WINHTTP_NO_REFERER,
                         WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  if (!request) {
    return false;
  }
  if (!WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                          0, 0, 0) ||
      !WinHttpReceiveResponse(request.Get(), nullptr)) {
    return false;
  }
  DWORD statusCode = 0;
  DWORD size = sizeof(statusCode);
  if (!WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &statusCode, &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  return statusCode >= 200 && statusCode <= 399;
}

}  // namespace veyra
