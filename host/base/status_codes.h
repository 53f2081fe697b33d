#pragma once

#include <cstdint>

namespace veyra {

// Every status value the host's portable code and its tests name, in the
// platform's own numbering so that the same value means the same thing in
// both builds and prints the same through HresultText. Each name is the
// Windows name with the underscores dropped (E_PENDING -> kEPending); the
// Windows build checks every value against the SDK's headers.
namespace status {

constexpr std::int32_t Hr(std::uint32_t bits) { return static_cast<std::int32_t>(bits); }

// HRESULT_FROM_WIN32: 0 and negative values as they are, others in the Win32
// facility.
constexpr std::int32_t HresultFromWin32(std::uint32_t error) {
  return static_cast<std::int32_t>(error) <= 0 ? static_cast<std::int32_t>(error)
                                               : Hr((error & 0xFFFFu) | 0x80070000u);
}

// COM and general HRESULTs.
inline constexpr std::int32_t kSOk = 0;
inline constexpr std::int32_t kSFalse = 1;
inline constexpr std::int32_t kENotImpl = Hr(0x80004001);
inline constexpr std::int32_t kENoInterface = Hr(0x80004002);
inline constexpr std::int32_t kEPointer = Hr(0x80004003);
inline constexpr std::int32_t kEAbort = Hr(0x80004004);
inline constexpr std::int32_t kEFail = Hr(0x80004005);
inline constexpr std::int32_t kEPending = Hr(0x8000000A);
inline constexpr std::int32_t kEUnexpected = Hr(0x8000FFFF);
inline constexpr std::int32_t kEAccessDenied = Hr(0x80070005);
inline constexpr std::int32_t kEHandle = Hr(0x80070006);
inline constexpr std::int32_t kEOutOfMemory = Hr(0x8007000E);
inline constexpr std::int32_t kEInvalidArg = Hr(0x80070057);

// Win32 error numbers (GetLastError) and wait results.
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorProcNotFound = 127;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorNotFound = 1168;
inline constexpr std::uint32_t kErrorCancelled = 1223;
inline constexpr std::uint32_t kErrorTimeout = 1460;
inline constexpr std::uint32_t kErrorInvalidState = 5023;
// GetCurrentPackageFullName of a process without a package identity.
inline constexpr std::uint32_t kAppmodelErrorNoPackage = 15700;
inline constexpr std::uint32_t kWaitAbandoned = 0x80;
inline constexpr std::uint32_t kWaitTimeout = 0x102;
// HRESULT_FROM_WIN32(ERROR_INVALID_STATE): the encoder's "no longer usable".
inline constexpr std::int32_t kInvalidStateHresult = Hr(0x8007139F);

// Winsock error numbers, and the HRESULT the connection reports for a
// connect that no address accepted in time.
inline constexpr int kWsaETimedOut = 10060;
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaTryAgain = 11002;
inline constexpr std::int32_t kTimedOutHresult = Hr(0x8007274C);

// DNS API.
inline constexpr std::uint32_t kDnsRequestPending = 9506;

// SSPI / Schannel.
inline constexpr std::int32_t kSecEOk = 0;
inline constexpr std::int32_t kSecIContinueNeeded = 0x00090312;
inline constexpr std::int32_t kSecIContextExpired = 0x00090317;
inline constexpr std::int32_t kSecIRenegotiate = 0x00090321;
inline constexpr std::int32_t kSecEUnsupportedFunction = Hr(0x80090302);
inline constexpr std::int32_t kSecEInternalError = Hr(0x80090304);
inline constexpr std::int32_t kSecENoCredentials = Hr(0x8009030E);
inline constexpr std::int32_t kSecEIncompleteMessage = Hr(0x80090318);
inline constexpr std::int32_t kSecEIllegalMessage = Hr(0x80090326);
inline constexpr std::int32_t kSecEAlgorithmMismatch = Hr(0x80090331);

// CNG key storage (NCrypt).
inline constexpr std::int32_t kNteBadKey = Hr(0x80090003);
inline constexpr std::int32_t kNteBadData = Hr(0x80090005);
inline constexpr std::int32_t kNteBadKeyset = Hr(0x80090016);
inline constexpr std::int32_t kNteNotSupported = Hr(0x80090029);

// DXGI.
inline constexpr std::int32_t kDxgiErrorInvalidCall = Hr(0x887A0001);
inline constexpr std::int32_t kDxgiErrorNotFound = Hr(0x887A0002);
inline constexpr std::int32_t kDxgiErrorUnsupported = Hr(0x887A0004);
inline constexpr std::int32_t kDxgiErrorDeviceRemoved = Hr(0x887A0005);
inline constexpr std::int32_t kDxgiErrorDeviceHung = Hr(0x887A0006);
inline constexpr std::int32_t kDxgiErrorDeviceReset = Hr(0x887A0007);
inline constexpr std::int32_t kDxgiErrorNotCurrentlyAvailable = Hr(0x887A0022);
inline constexpr std::int32_t kDxgiErrorAccessLost = Hr(0x887A0026);
inline constexpr std::int32_t kDxgiErrorWaitTimeout = Hr(0x887A0027);
inline constexpr std::int32_t kDxgiErrorSessionDisconnected = Hr(0x887A0028);

// Media Foundation.
inline constexpr std::int32_t kMfEInvalidMediaType = Hr(0xC00D36B4);
inline constexpr std::int32_t kMfENotAccepting = Hr(0xC00D36B5);
inline constexpr std::int32_t kMfEAttributeNotFound = Hr(0xC00D36E6);
inline constexpr std::int32_t kMfENoEventsAvailable = Hr(0xC00D3E80);
inline constexpr std::int32_t kMfEShutdown = Hr(0xC00D3E85);
inline constexpr std::int32_t kMfETopoCodecNotFound = Hr(0xC00D5212);
inline constexpr std::int32_t kMfETransformTypeNotSet = Hr(0xC00D6D60);
inline constexpr std::int32_t kMfETransformStreamChange = Hr(0xC00D6D61);
inline constexpr std::int32_t kMfETransformNeedMoreInput = Hr(0xC00D6D72);

}  // namespace status
}  // namespace veyra
