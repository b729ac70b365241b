// libjpeg plumbing shared by the JPEG reader and writer: the error manager,
// a source reading a TIEStream and a destination writing one.
//
// libjpeg reports a fatal error by calling error_exit, which must not return.
// Ours records the message, sets the operation's abort flag and longjmps back
// into IEJpegProtect. A longjmp skips destructors, so it may only cross
// frames without live C++ objects: the code run inside IEJpegProtect calls
// libjpeg and keeps only trivial locals, and the callbacks below (source,
// destination, progress) catch every exception before they raise a libjpeg
// error. C++ objects of the caller live outside the protected call and are
// destroyed normally after it returns false.
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

class TIEStream;

struct TIEJpegErrorMgr {
  jpeg_error_mgr pub;              // first member: libjpeg sees only this part
  std::jmp_buf jump;
  bool* aborting = nullptr;        // set on every fatal error
  int errorCode = 0;               // message code of the fatal error, 0 = none
  char message[JMSG_LENGTH_MAX] = {};
  int warnings = 0;                // corrupt-data warnings and the like
  int lastWarningCode = 0;
};

// Sets up mgr and returns the pointer to store in cinfo.err (before
// jpeg_create_*). aborting may be null.
jpeg_error_mgr* IEJpegInitErrorMgr(TIEJpegErrorMgr& mgr, bool* aborting);

// Raises a libjpeg fatal error with a message of ours, from our callbacks.
[[noreturn]] void IEJpegFail(j_common_ptr cinfo, const char* message);

// Throws EIEJpegException with the recorded message.
[[noreturn]] void IEJpegRaise(const TIEJpegErrorMgr& mgr);

// Runs call(), which calls into libjpeg; false when libjpeg raised a fatal
// error (mgr then holds its code and message). call must not create objects
// with destructors that are alive while it is inside libjpeg. Not inlined,
// so that the setjmp frame is this function's own and holds nothing.
template <class F>
[[gnu::noinline]] bool IEJpegProtect(TIEJpegErrorMgr& mgr, F&& call) {
  if (setjmp(mgr.jump)) return false;
  call();
  return true;
}

// Reads a TIEStream in 64 KB chunks. At the end of the data it supplies an
// end-of-image marker so that the decoder ends cleanly; when that happens on
// the very first read it also sets the abort flag.
struct TIEJpegSource {
  jpeg_source_mgr pub;  // first member
  TIEStream* stream = nullptr;
  bool* aborting = nullptr;
  bool startOfFile = true;
  std::vector<JOCTET> buffer;
};

// Installs src as the source of cinfo, reading from stream's position.
// Calling it again switches to another stream (after a tables-only header).
void IEJpegSetSource(j_decompress_ptr cinfo, TIEJpegSource& src, TIEStream& stream, bool* aborting);

// Writes compressed data to a TIEStream in 64 KB chunks; a failed write
// becomes a libjpeg fatal error carrying the stream's message.
struct TIEJpegDestination {
  jpeg_destination_mgr pub;  // first member
  TIEStream* stream = nullptr;
  std::vector<JOCTET> buffer;
};

void IEJpegSetDestination(j_compress_ptr cinfo, TIEJpegDestination& dest, TIEStream& stream);
