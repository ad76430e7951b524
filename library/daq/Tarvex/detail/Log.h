// The one channel for every line the library prints, and the lines
// themselves.  Not installed.
//
// Every diagnostic goes through the functions below, which hand the whole
// line (without its line end) to the application's handler
// (tarvex_set_log_handler) or, by default, print it as the link always has:
// informational lines on standard output, refusals and failures on standard
// error.
#ifndef TARVEX_DETAIL_LOG_H
#define TARVEX_DETAIL_LOG_H

namespace tarvex {
namespace detail {

// A line for standard output.
void log_out(const char* line);
// A line for standard error.
void log_err(const char* line);
// The same, printf-style.
void log_outf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_errf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "<what>: <text of errno>" for standard error, as perror writes it.
void log_system_error(const char* what);
// The same for an error number saved earlier (printing in between may have
// changed errno).
void log_system_error(const char* what, int err);

// The texts of the link's diagnostics.
//
// EXACT TEXTS: peers' log parsers, monitoring scripts and the tests match
// these word for word, so every one is a contract, typos included
// ("Conenct", "Alrady", "ation", "heaser", "exeeded", "Incosistent").  Do
// not correct, reword or re-space them.
namespace text {

// --- the listening endpoint and the connection ---
constexpr const char* kAlreadySetup = "SocketSetup(): socket already setup.";
constexpr const char* kHereWeAre = "Here we are: %s  file: %s";
constexpr const char* kSocketCreationFailed = "SocketSetup(): socket creation failed";
constexpr const char* kUnixSocketUsed = "UNIX socket will be used";
constexpr const char* kBindFailedUnix = "Here  bind failed, socket released PF_UNIX %d";
constexpr const char* kBindFailedInet = "Here  bind failed, socket released PF_INET %d";
constexpr const char* kListenFailed = "SocketSetup(): listen failed, socket released";
constexpr const char* kReleaseNotSetup = "SocketRelease(): socket not setup. No ation taken.";
constexpr const char* kReleaseCloseFailed = "Socketrelease(): unable to close socket";
constexpr const char* kReleaseClosed = "SocketRelease() socket closed";
constexpr const char* kConnectNotSetup = "Connect(): socket not setup.  No action taken.";
constexpr const char* kAlreadyAccepted = "Conenct(): Alrady accepted a connection. No action taken.";
constexpr const char* kAcceptFailed = "Connect(): accept failed";
constexpr const char* kNoDelayFailed = "Connect(2): TCP_NODELAY failed";
constexpr const char* kPreambleSendFailed = "Connect(): send failed";
constexpr const char* kNonBlockingFailed = "Failed to set sock in NON_BLOCKING mode";
constexpr const char* kAlreadyConnected = "Connect(): Unable to connect.  Already connected.";
constexpr const char* kHostFailed = "Connect(): gethostbyname failed, socket released";
constexpr const char* kLocalConnectFailed = "Connect(1): connect failed, socket released";
constexpr const char* kTcpConnectFailed = "Connect(2): connect failed, socket released";
constexpr const char* kPreambleReceiveFailed = "Connect(): failed to receive preamble";
constexpr const char* kPreambleUnrecognized = "Connect(): Unrecognized byte pattern in preamble.%d";
constexpr const char* kDisconnectNotSetup = "Disconnect(): Not setup.  No action taken.";
constexpr const char* kDisconnectNoConnection = "Disconnect(): There is no connection.  No action taken.";
constexpr const char* kDisconnectCloseFailed = "Disconnect(): failed to close socket";
constexpr const char* kDisconnectNoSocket = "Disconnect(): sockin was not set .";

// --- the readiness wait ---
constexpr const char* kWaitNotOurSocket = "ReceiveEvent(): select triggered but not our socket";

// --- sending ---
constexpr const char* kSendNotConnected = "SendEvent(): Unable to send event.  Not Connected.";
constexpr const char* kSendNoHeader = "SendEvent(): Empty gather list or no header.  No action taken.";
constexpr const char* kUnknownHeaderSize = "hdsz: %d (%d) (%d)";
constexpr const char* kUnknownHeaderFormat = "SendEvent() unknown event header format";
constexpr const char* kImageHeadFailed = "Failed to convert image header";
constexpr const char* kImageExtHeadFailed = "Failed to convert image ext header";
constexpr const char* kEventHeadFailed = "Failed to convert event header error: %d";
constexpr const char* kSlowHeadFailed = "Failed to convert slow data header";
constexpr const char* kSomethingWrong = "Something wrong (event_length:%d)";
constexpr const char* kEventBufferAllocFailed = "Failed to alloc event_buffer";
constexpr const char* kInconsistentLength = "Incosistent event length i:%d total:%d clen:%d ev_len:%d";
constexpr const char* kRecordConversionFailed = "Failed to convert event buffer error: %d  what: %d";
constexpr const char* kBadSwapErr = "Here we are BAD swap err: %d";
constexpr const char* kError = "ERROR";
constexpr const char* kHeaderWaitFailed = "SendEvent(): select() failed for ACK";
constexpr const char* kSendNotOurSocket = "SendEvent() select triggered but not our socket";
constexpr const char* kHeaderSendFailed = "Failed to send event header";
constexpr const char* kErrno = "ERRNO: %d";
constexpr const char* kWritev4Failed = "SendEvent(): Writev(4) failed";
constexpr const char* kWritevParams = "PARAMS: fr_left: %d  sockin: %d   vector+indx: %lx";
constexpr const char* kNegativeFrLeft = "NEGATIVE fr_left: %d step_frs: %d indx: %d s: %d  DEF_IOV_MAX: %d frs: %d";
constexpr const char* kWritev1Failed = "SendEvent(): Writev(1) failed";
constexpr const char* kWritev2Failed = "SendEvent(): Writev(2) failed";
constexpr const char* kCheckFail = "CHECK_FAIL: sent_total: %u!=event_length:%u";
constexpr const char* kRetriesExceeded = "SendEvent():  Retries are exeeded:%d(%d)";
constexpr const char* kBatchNoRecords = "SendEventBatch(): No records.  No action taken.";
constexpr const char* kBatchTooLarge = "SendEventBatch(): Batch of more than 4 GiB.  No action taken.";
constexpr const char* kRequestNotConnected = "SendRequest(): Not connected.  No action taken.";
constexpr const char* kRequestBadBlock = "SendRequest(): Bad request block.  No action taken.";
constexpr const char* kRequestWaitResult = "SendRequest() select() ret: %d";
constexpr const char* kRequestWaitFailed = "SendRequest(): select() failed for ACK";
constexpr const char* kRequestNotOurSocket = "SendRequest() select triggered but not our socket";
constexpr const char* kRequestSendFailed = "Failed to send request";
constexpr const char* kUnaskedAnswers =
    "SendEvent(): the peer answers acknowledgements this sender does not ask for (its receiver was given a ring "
    "buffer); the answers are taken and dropped";
constexpr const char* kUnaskedNoRoom =
    "SendEvent(): the peer had no room for a record sent unacknowledged and skipped it; send with SendEvent_ACK to "
    "have such records refused instead";

// --- receiving events and slow data ---
constexpr const char* kReceiveNotConnected = "ReceiveEvent(): Not connected.  No action taken.";
constexpr const char* kMagicReadFailed = "ReceiveEvent() magic: read failed";
constexpr const char* kMagicErrno = "Errno: %d";
constexpr const char* kEventHeaderEmpty =
    "ReceiveEvent(): EVENT header too many empty messages, consider TCP connection broken";
constexpr const char* kSlowHeaderEmpty =
    "ReceiveEvent(): SLOW DATA header too many empty messages, consider TCP connection broken";
constexpr const char* kSwitchingSwap = "ReceiveEvent(): Automatically switching swap !!!";
constexpr const char* kBadSwapMiddle = "BAD_SWAP middle";
constexpr const char* kAckFailed = "ReceiveEvent(): Failed to send ack";
constexpr const char* kBodyEmpty =
    "ReceiveEvent() 2: read pattern too many empty messages, consider TCP connection broken, EVENT";
constexpr const char* kSizeMismatch = "ReceiveEvent() Size received does not match size reported.";
constexpr const char* kBadSwapRecord = "BAD SWAP %d->%s";
constexpr const char* kBadSwapEvent = "BAD_SWAP Tarvex::SwapBuffer(void)";
constexpr const char* kBadSwapSlow = "BAD_SWAP Tarvex::SwapBuffer(void) Data Slow";
constexpr const char* kBadSwapSlow2024 = "BAD_SWAP Tarvex::SwapBuffer(void) Data Slow 2024";

// --- receiving images and spectra ---
constexpr const char* kIntroNotConnected = "ReceiveImage():: Not connected.  No action taken.";
constexpr const char* kImageBadSwap = "BAD_SWAP kbr7_convert_image_head";
constexpr const char* kImageScanReadFailed = "ReceiveImage(): read pattern 2 failed";
constexpr const char* kImageScanEmpty =
    "ReceiveImage(): read pattern too many empty messages, consider TCP connection broken";
constexpr const char* kImageHeaderEmpty =
    "ReceiveImage(): read heaser too many empty messages, consider TCP connection broken";
constexpr const char* kImageBodyEmpty =
    "ReceiveImage(): read image too many empty messages, consider TCP connection broken";
constexpr const char* kImageSizeMismatch = "Size received does not match size reported.%zu:%u";
constexpr const char* kSpectBadSwap = "BAD_SWAP kbr7_convert_spect_head";
constexpr const char* kSpectScanReadFailed = "SpectImage(): read pattern 2 failed";
constexpr const char* kSpectScanEmpty =
    "SpectImage(): read pattern too many empty messages, consider TCP connection broken";
constexpr const char* kSpectHeaderEmpty =
    "SpectSpect(): read heaser too many empty messages, consider TCP connection broken";
constexpr const char* kSpectBodyEmpty =
    "ReceiveSpectData(): read image too many empty messages, consider TCP connection broken";
constexpr const char* kSpectSizeMismatch = "ReceiveSpectData() Size received does not match size reported.%zu:%u";

// --- admission and limits (lines of the switches a site sets) ---
constexpr const char* kBadSwitch = "%s(): %s=\"%s\" is not %s.  No action taken.";
constexpr const char* kPeerRefused = "Connect(): peer %s is not allowed, connection closed";
constexpr const char* kPeerUidRefused = "Connect(): peer of user %u is not allowed, connection closed";
constexpr const char* kListenerUidRefused = "Connect(1): listener of user %u is not allowed, socket released";
constexpr const char* kStaleSocketRemoved = "SocketSetup(): stale socket file %s removed";
constexpr const char* kSocketModeFailed = "SocketSetup(): setting the mode of the socket file failed";
constexpr const char* kRecordAllocFailed = "ReceiveEvent(): Failed to allocate %u bytes for the record";
constexpr const char* kRecordTooLong = "ReceiveEvent(): record of %lld bytes refused, longer than %llu";
constexpr const char* kRecordTimedOut = "ReceiveEvent(): record not complete within %d ms, dropped";
constexpr const char* kImageAllocFailed = "ReceiveImage(): Failed to allocate %lld bytes for the body";
constexpr const char* kImageTooLong = "ReceiveImage(): record of %u bytes refused, longer than %llu";
constexpr const char* kImageTimedOut = "ReceiveImage(): record not complete within %d ms, dropped";
constexpr const char* kSpectAllocFailed = "ReceiveSpectData(): Failed to allocate %lld bytes for the body";
constexpr const char* kSpectTooLong = "ReceiveSpectData(): record of %u bytes refused, longer than %llu";
constexpr const char* kSpectTimedOut = "ReceiveSpectData(): record not complete within %d ms, dropped";

}  // namespace text

}  // namespace detail
}  // namespace tarvex

#endif
