#pragma once

// ICodecAPI as Media Foundation's headers bring it in (through strmif.h),
// with the interface id that header leaves out, so that ComPtr's As and
// __uuidof work. icodecapi.h has both but clashes with strmif.h.
#include <codecapi.h>
#include <strmif.h>

#ifndef VEYRA_ICODECAPI_UUID_DECLARED
#define VEYRA_ICODECAPI_UUID_DECLARED
__CRT_UUID_DECL(ICodecAPI, 0x901db4c7, 0x31ce, 0x41a2, 0x85, 0xdc, 0x8f, 0xa0, 0xbf, 0x41, 0xb8,
                0xda)
#endif
