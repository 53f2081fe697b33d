// Every named status value against the Windows SDK's own definitions: the
// portable names must mean exactly what the platform returns.
#include <winsock2.h>

#include <windows.h>

#define SECURITY_WIN32
#include <dxgi.h>
#include <mferror.h>
#include <sspi.h>
#include <windns.h>

#include <gtest/gtest.h>

#include "host/base/status_codes.h"

namespace veyra {
namespace {

using namespace status;  // NOLINT(google-build-using-namespace): a table of names

static_assert(kSOk == S_OK && kSFalse == S_FALSE);
static_assert(kENotImpl == E_NOTIMPL && kENoInterface == E_NOINTERFACE && kEPointer == E_POINTER);
static_assert(kEAbort == E_ABORT && kEFail == E_FAIL && kEPending == E_PENDING);
static_assert(kEUnexpected == E_UNEXPECTED && kEAccessDenied == E_ACCESSDENIED);
static_assert(kEHandle == E_HANDLE && kEOutOfMemory == E_OUTOFMEMORY &&
              kEInvalidArg == E_INVALIDARG);

static_assert(kErrorSuccess == ERROR_SUCCESS && kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorPathNotFound == ERROR_PATH_NOT_FOUND &&
              kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(kErrorSharingViolation == ERROR_SHARING_VIOLATION);
static_assert(kErrorProcNotFound == ERROR_PROC_NOT_FOUND &&
              kErrorAlreadyExists == ERROR_ALREADY_EXISTS);
static_assert(kErrorNotFound == ERROR_NOT_FOUND && kErrorCancelled == ERROR_CANCELLED);
static_assert(kErrorInvalidState == ERROR_INVALID_STATE && kErrorTimeout == ERROR_TIMEOUT);
static_assert(kAppmodelErrorNoPackage == APPMODEL_ERROR_NO_PACKAGE);
static_assert(kWaitAbandoned == WAIT_ABANDONED && kWaitTimeout == WAIT_TIMEOUT);
static_assert(kInvalidStateHresult == HRESULT_FROM_WIN32(ERROR_INVALID_STATE));
static_assert(HresultFromWin32(ERROR_ACCESS_DENIED) == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
static_assert(HresultFromWin32(0) == S_OK);

static_assert(kWsaETimedOut == WSAETIMEDOUT && kWsaHostNotFound == WSAHOST_NOT_FOUND);
static_assert(kWsaTryAgain == WSATRY_AGAIN);
static_assert(kTimedOutHresult == HRESULT_FROM_WIN32(WSAETIMEDOUT));

static_assert(kSecEOk == SEC_E_OK && kSecIContinueNeeded == SEC_I_CONTINUE_NEEDED);
static_assert(kSecIContextExpired == SEC_I_CONTEXT_EXPIRED &&
              kSecIRenegotiate == SEC_I_RENEGOTIATE);
static_assert(kSecEInternalError == SEC_E_INTERNAL_ERROR &&
              kSecENoCredentials == SEC_E_NO_CREDENTIALS);
static_assert(kSecEIncompleteMessage == SEC_E_INCOMPLETE_MESSAGE);
static_assert(kSecEIllegalMessage == SEC_E_ILLEGAL_MESSAGE);
static_assert(kSecEAlgorithmMismatch == SEC_E_ALGORITHM_MISMATCH);
static_assert(kSecEUnsupportedFunction == SEC_E_UNSUPPORTED_FUNCTION);

static_assert(kNteBadKey == NTE_BAD_KEY && kNteBadData == NTE_BAD_DATA);
static_assert(kNteBadKeyset == NTE_BAD_KEYSET && kNteNotSupported == NTE_NOT_SUPPORTED);

static_assert(kDxgiErrorInvalidCall == DXGI_ERROR_INVALID_CALL);
static_assert(kDxgiErrorNotFound == DXGI_ERROR_NOT_FOUND);
static_assert(kDxgiErrorUnsupported == DXGI_ERROR_UNSUPPORTED);
static_assert(kDxgiErrorDeviceRemoved == DXGI_ERROR_DEVICE_REMOVED);
static_assert(kDxgiErrorDeviceReset == DXGI_ERROR_DEVICE_RESET);
static_assert(kDxgiErrorNotCurrentlyAvailable == DXGI_ERROR_NOT_CURRENTLY_AVAILABLE);
static_assert(kDxgiErrorAccessLost == DXGI_ERROR_ACCESS_LOST);
static_assert(kDxgiErrorWaitTimeout == DXGI_ERROR_WAIT_TIMEOUT);
static_assert(kDxgiErrorSessionDisconnected == DXGI_ERROR_SESSION_DISCONNECTED);

static_assert(kMfEInvalidMediaType == MF_E_INVALIDMEDIATYPE &&
              kMfENotAccepting == MF_E_NOTACCEPTING);
static_assert(kMfEAttributeNotFound == MF_E_ATTRIBUTENOTFOUND);
static_assert(kMfENoEventsAvailable == MF_E_NO_EVENTS_AVAILABLE && kMfEShutdown == MF_E_SHUTDOWN);
static_assert(kMfETopoCodecNotFound == MF_E_TOPO_CODEC_NOT_FOUND);
static_assert(kMfETransformTypeNotSet == MF_E_TRANSFORM_TYPE_NOT_SET);
static_assert(kMfETransformStreamChange == MF_E_TRANSFORM_STREAM_CHANGE);
static_assert(kMfETransformNeedMoreInput == MF_E_TRANSFORM_NEED_MORE_INPUT);

TEST(StatusCodesUnderWineTest, NamesMatchTheWindowsHeaders) {
  // The checks above are made by the compiler; this test only marks that the
  // Windows build made them.
  SUCCEED();
}

}  // namespace
}  // namespace veyra
