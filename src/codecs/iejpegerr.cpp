#include "iejpegerr.h"

#include <cstring>
#include <exception>

#include <jerror.h>

#include "iecore.h"
#include "iestream.h"

namespace {

constexpr size_t kChunk = 65536;

TIEJpegErrorMgr* Manager(j_common_ptr cinfo) { return reinterpret_cast<TIEJpegErrorMgr*>(cinfo->err); }

void CopyMessage(char* out, const char* text) {
  std::strncpy(out, text, JMSG_LENGTH_MAX - 1);
  out[JMSG_LENGTH_MAX - 1] = 0;
}

void ErrorExit(j_common_ptr cinfo) {
  TIEJpegErrorMgr* mgr = Manager(cinfo);
  if (mgr->aborting) *mgr->aborting = true;
  const int code = cinfo->err->msg_code;
  mgr->errorCode = code;
  if (code > 0 && code <= cinfo->err->last_jpeg_message)
    cinfo->err->format_message(cinfo, mgr->message);
  else
    CopyMessage(mgr->message, "Corrupted");
  std::longjmp(mgr->jump, 1);
}

void EmitMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;  // trace messages
  TIEJpegErrorMgr* mgr = Manager(cinfo);
  ++mgr->warnings;
  ++cinfo->err->num_warnings;
  mgr->lastWarningCode = cinfo->err->msg_code;
}

void OutputMessage(j_common_ptr) {}

void InitSource(j_decompress_ptr) {}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<TIEJpegSource*>(cinfo->src);
  int64_t got = 0;
  char failure[JMSG_LENGTH_MAX] = {};
  try {
    got = src->stream->Read(src->buffer.data(), static_cast<int64_t>(src->buffer.size()));
  } catch (const std::exception& e) {
    CopyMessage(failure, e.what());
  } catch (...) {
    CopyMessage(failure, "Read error");
  }
  if (failure[0]) IEJpegFail(reinterpret_cast<j_common_ptr>(cinfo), failure);
  if (got <= 0) {
    if (src->startOfFile && src->aborting) *src->aborting = true;
    WARNMS(cinfo, JWRN_JPEG_EOF);
    src->buffer[0] = 0xFF;
    src->buffer[1] = JPEG_EOI;
    got = 2;
  }
  src->pub.next_input_byte = src->buffer.data();
  src->pub.bytes_in_buffer = static_cast<size_t>(got);
  src->startOfFile = false;
  return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  auto* src = reinterpret_cast<TIEJpegSource*>(cinfo->src);
  size_t n = static_cast<size_t>(count);
  if (n <= src->pub.bytes_in_buffer) {
    src->pub.next_input_byte += n;
    src->pub.bytes_in_buffer -= n;
    return;
  }
  n -= src->pub.bytes_in_buffer;
  src->pub.bytes_in_buffer = 0;
  bool failed = false;
  try {
    src->stream->Seek(static_cast<int64_t>(n), soCurrent);
  } catch (...) {
    failed = true;
  }
  if (failed) IEJpegFail(reinterpret_cast<j_common_ptr>(cinfo), "Seek error");
}

void TermSource(j_decompress_ptr) {}

void InitDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<TIEJpegDestination*>(cinfo->dest);
  dest->pub.next_output_byte = dest->buffer.data();
  dest->pub.free_in_buffer = dest->buffer.size();
}

// Writes count bytes of the buffer; false with a message on failure.
bool WriteOut(TIEJpegDestination* dest, size_t count, char* failure) {
  try {
    dest->stream->Write(dest->buffer.data(), static_cast<int64_t>(count));
    return true;
  } catch (const std::exception& e) {
    CopyMessage(failure, e.what());
  } catch (...) {
    CopyMessage(failure, "Write error");
  }
  return false;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<TIEJpegDestination*>(cinfo->dest);
  char failure[JMSG_LENGTH_MAX] = {};
  if (!WriteOut(dest, dest->buffer.size(), failure)) IEJpegFail(reinterpret_cast<j_common_ptr>(cinfo), failure);
  dest->pub.next_output_byte = dest->buffer.data();
  dest->pub.free_in_buffer = dest->buffer.size();
  return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<TIEJpegDestination*>(cinfo->dest);
  char failure[JMSG_LENGTH_MAX] = {};
  size_t used = dest->buffer.size() - dest->pub.free_in_buffer;
  if (used > 0 && !WriteOut(dest, used, failure)) IEJpegFail(reinterpret_cast<j_common_ptr>(cinfo), failure);
}

}  // namespace

jpeg_error_mgr* IEJpegInitErrorMgr(TIEJpegErrorMgr& mgr, bool* aborting) {
  jpeg_std_error(&mgr.pub);
  mgr.pub.error_exit = ErrorExit;
  mgr.pub.emit_message = EmitMessage;
  mgr.pub.output_message = OutputMessage;
  mgr.aborting = aborting;
  mgr.errorCode = 0;
  mgr.message[0] = 0;
  mgr.warnings = 0;
  mgr.lastWarningCode = 0;
  return &mgr.pub;
}

void IEJpegFail(j_common_ptr cinfo, const char* message) {
  TIEJpegErrorMgr* mgr = Manager(cinfo);
  if (mgr->aborting) *mgr->aborting = true;
  mgr->errorCode = -1;
  CopyMessage(mgr->message, message);
  std::longjmp(mgr->jump, 1);
}

void IEJpegRaise(const TIEJpegErrorMgr& mgr) {
  throw EIEJpegException(mgr.message[0] ? mgr.message : "Corrupted");
}

void IEJpegSetSource(j_decompress_ptr cinfo, TIEJpegSource& src, TIEStream& stream, bool* aborting) {
  if (src.buffer.size() != kChunk) src.buffer.assign(kChunk, 0);
  src.stream = &stream;
  src.aborting = aborting;
  src.startOfFile = true;
  src.pub.init_source = InitSource;
  src.pub.fill_input_buffer = FillInputBuffer;
  src.pub.skip_input_data = SkipInputData;
  src.pub.resync_to_restart = jpeg_resync_to_restart;
  src.pub.term_source = TermSource;
  src.pub.next_input_byte = nullptr;
  src.pub.bytes_in_buffer = 0;
  cinfo->src = &src.pub;
}

void IEJpegSetDestination(j_compress_ptr cinfo, TIEJpegDestination& dest, TIEStream& stream) {
  if (dest.buffer.size() != kChunk) dest.buffer.assign(kChunk, 0);
  dest.stream = &stream;
  dest.pub.init_destination = InitDestination;
  dest.pub.empty_output_buffer = EmptyOutputBuffer;
  dest.pub.term_destination = TermDestination;
  cinfo->dest = &dest.pub;
}
