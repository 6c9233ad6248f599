// Diagnostic name tables. The IOKit and CoreFoundation codes are those of the published
// constants, so log lines read the same as on the platform that defines them.
#include "SNP_DiagnosticNames.h"

namespace {
constexpr SNP_NameRow kCFStreamStatusRows[] = {
    {0x0, "kCFStreamStatusNotOpen"},
    {0x1, "kCFStreamStatusOpening"},
    {0x2, "kCFStreamStatusOpen"},
    {0x3, "kCFStreamStatusReading"},
    {0x4, "kCFStreamStatusWriting"},
    {0x5, "kCFStreamStatusAtEnd"},
    {0x6, "kCFStreamStatusClosed"},
    {0x7, "kCFStreamStatusError"},
};
} // namespace

SNP_NameTable tableForCFStreamStatus() { return kCFStreamStatusRows; }
const char* strForCFStreamStatus(uint32_t code) { return SNP_lookupName(kCFStreamStatusRows, code, "kCFStreamStatusUnknown"); }

namespace {
constexpr SNP_NameRow kCFEventTypeRows[] = {
    {0x0, "kCFStreamEventNone"},
    {0x1, "kCFStreamEventOpenCompleted"},
    {0x2, "kCFStreamEventHasBytesAvailable"},
    {0x4, "kCFStreamEventCanAcceptBytes"},
    {0x8, "kCFStreamEventErrorOccurred"},
    {0x10, "kCFStreamEventEndEncountered"},
};
} // namespace

SNP_NameTable tableForCFEventType() { return kCFEventTypeRows; }
const char* strForCFEventType(uint32_t code) { return SNP_lookupName(kCFEventTypeRows, code, "kCFStreamEventUnknown"); }

namespace {
constexpr SNP_NameRow kIOMessageRows[] = {
    {0xE0000010, "kIOMessageServiceIsTerminated"},
    {0xE0000020, "kIOMessageServiceIsSuspended"},
    {0xE0000030, "kIOMessageServiceIsResumed"},
    {0xE0000100, "kIOMessageServiceIsRequestingClose"},
    {0xE0000101, "kIOMessageServiceIsAttemptingOpen"},
    {0xE0000110, "kIOMessageServiceWasClosed"},
    {0xE0000120, "kIOMessageServiceBusyStateChange"},
    {0xE0000130, "kIOMessageServicePropertyChange"},
    {0xE0000200, "kIOMessageCanDevicePowerOff"},
    {0xE0000210, "kIOMessageDeviceWillPowerOff"},
    {0xE0000220, "kIOMessageDeviceWillNotPowerOff"},
    {0xE0000230, "kIOMessageDeviceHasPoweredOn"},
    {0xE0000240, "kIOMessageCanSystemPowerOff"},
    {0xE0000250, "kIOMessageSystemWillPowerOff"},
    {0xE0000260, "kIOMessageSystemWillNotPowerOff"},
    {0xE0000270, "kIOMessageCanSystemSleep"},
    {0xE0000280, "kIOMessageSystemWillSleep"},
    {0xE0000290, "kIOMessageSystemWillNotSleep"},
    {0xE0000300, "kIOMessageSystemHasPoweredOn"},
    {0xE0000310, "kIOMessageSystemWillRestart"},
    {0xE0000320, "kIOMessageSystemWillPowerOn"},
    {0xE0000330, "kIOMessageCopyClientID"},
};
} // namespace

SNP_NameTable tableForIOMessage() { return kIOMessageRows; }
const char* strForIOMessage(uint32_t code) { return SNP_lookupName(kIOMessageRows, code, "kIOMessageUnknown"); }

namespace {
constexpr SNP_NameRow kIOReturnRows[] = {
    {0x0, "kIOReturnSuccess"},
    {0xE0000001, "kIOReturnInvalid"},
    {0xE00002BD, "kIOReturnNoMemory"},
    {0xE00002BE, "kIOReturnNoResources"},
    {0xE00002BF, "kIOReturnIPCError"},
    {0xE00002C0, "kIOReturnNoDevice"},
    {0xE00002C1, "kIOReturnNotPrivileged"},
    {0xE00002C2, "kIOReturnBadArgument"},
    {0xE00002C3, "kIOReturnLockedRead"},
    {0xE00002C4, "kIOReturnLockedWrite"},
    {0xE00002C5, "kIOReturnExclusiveAccess"},
    {0xE00002D2, "kIOReturnStillOpen"},
    {0xE00002D6, "kIOReturnTimeout"},
    {0xE00002E7, "kIOReturnUnderrun"},
    {0xE00002E8, "kIOReturnOverrun"},
    {0xE00002E9, "kIOReturnDeviceError"},
    {0xE00002EA, "kIOReturnNoCompletion"},
    {0xE00002EB, "kIOReturnAborted"},
    {0xE00002EC, "kIOReturnNoBandwidth"},
    {0xE00002ED, "kIOReturnNotResponding"},
    {0xE00002F0, "kIOReturnNotFound"},
    {0xE0004001, "kIOUSBCRCErr"},
    {0xE0004002, "kIOUSBBitstufErr"},
    {0xE0004003, "kIOUSBDataToggleErr"},
    {0xE0004006, "kIOUSBPIDCheckErr"},
    {0xE0004007, "kIOUSBWrongPIDErr"},
    {0xE000400A, "kIOUSBReserved1Err"},
    {0xE000400B, "kIOUSBReserved2Err"},
    {0xE000400C, "kIOUSBBufferOverrunErr"},
    {0xE000400D, "kIOUSBBufferUnderrunErr"},
    {0xE000400E, "kIOUSBNotSent1Err"},
    {0xE000400F, "kIOUSBNotSent2Err"},
    {0xE0004010, "kIOUSBLinkErr"},
    {0xE000404B, "kIOUSBHighSpeedSplitError"},
    {0xE000404C, "kIOUSBLowLatencyFrameListNotPreviouslyAllocated"},
    {0xE000404D, "kIOUSBLowLatencyBufferNotPreviouslyAllocated"},
    {0xE000404E, "kIOUSBInterfaceNotFound"},
    {0xE000404F, "kIOUSBPipeStalled"},
    {0xE0004050, "kIOUSBTransactionReturned"},
    {0xE0004051, "kIOUSBTransactionTimeout"},
    {0xE0004056, "kIOUSBConfigNotFound"},
    {0xE0004057, "kIOUSBEndpointNotFound"},
    {0xE000405D, "kIOUSBNotEnoughPowerErr"},
    {0xE000405E, "kIOUSBNotEnoughPipesErr"},
    {0xE000405F, "kIOUSBNoAsyncPortErr"},
    {0xE0004060, "kIOUSBTooManyPipesErr"},
    {0xE0004061, "kIOUSBUnknownPipeErr"},
};
} // namespace

SNP_NameTable tableForIOReturn() { return kIOReturnRows; }
const char* strForIOReturn(uint32_t code) { return SNP_lookupName(kIOReturnRows, code, "kIOReturnError"); }

namespace {
constexpr SNP_NameRow kErrnoRows[] = {
    {0x1, "EPERM - Operation not permitted"},
    {0x2, "ENOENT - No such file or directory"},
    {0x3, "ESRCH - No such process"},
    {0x4, "EINTR - Interrupted system call"},
    {0x5, "EIO - Input/output error"},
    {0x6, "ENXIO - Device not configured"},
    {0x7, "E2BIG - Argument list too long"},
    {0x8, "ENOEXEC - Exec format error"},
    {0x9, "EBADF - Bad file descriptor"},
    {0xA, "ECHILD - No child processes"},
    {0xB, "EDEADLK - Resource deadlock avoided"},
    {0xC, "ENOMEM - Cannot allocate memory"},
    {0xD, "EACCES - Permission denied"},
    {0xE, "EFAULT - Bad address"},
    {0xF, "ENOTBLK - Block device required"},
    {0x10, "EBUSY - Device / Resource busy"},
    {0x11, "EEXIST - File exists"},
    {0x12, "EXDEV - Cross-device link"},
    {0x13, "ENODEV - Operation not supported by device"},
    {0x14, "ENOTDIR - Not a directory"},
    {0x15, "EISDIR - Is a directory"},
    {0x16, "EINVAL - Invalid argument"},
    {0x17, "ENFILE - Too many open files in system"},
    {0x18, "EMFILE - Too many open files"},
    {0x19, "ENOTTY - Inappropriate ioctl for device"},
    {0x1A, "ETXTBSY - Text file busy"},
    {0x1B, "EFBIG - File too large"},
    {0x1C, "ENOSPC - No space left on device"},
    {0x1D, "ESPIPE - Illegal seek"},
    {0x1E, "EROFS - Read-only file system"},
    {0x1F, "EMLINK - Too many links"},
    {0x20, "EPIPE - Broken pipe"},
    {0x21, "EDOM - Numerical argument out of domain"},
    {0x22, "ERANGE - Result too large"},
    {0x23, "EAGAIN - Resource temporarily unavailable; Operation would block"},
    {0x24, "EINPROGRESS - Operation now in progress"},
    {0x25, "EALREADY - Operation already in progress"},
    {0x26, "ENOTSOCK - Socket operation on non-socket"},
    {0x27, "EDESTADDRREQ - Destination address required"},
    {0x28, "EMSGSIZE - Message too long"},
    {0x29, "EPROTOTYPE - Protocol wrong type for socket"},
    {0x2A, "ENOPROTOOPT - Protocol not available"},
    {0x2B, "EPROTONOSUPPORT - Protocol not supported"},
};
} // namespace

SNP_NameTable tableForErrno() { return kErrnoRows; }
const char* strForErrno(uint32_t code) { return SNP_lookupName(kErrnoRows, code, "unknown"); }

namespace {
constexpr SNP_NameRow kSignalRows[] = {
    {0x1, "HangUP"},
    {0x2, "INTerrupt"},
    {0x3, "QUIT"},
    {0x4, "ILLegal instruction"},
    {0x5, "trace TRAP"},
    {0x6, "ABoRT"},
    {0x8, "Floating Point Exception"},
    {0x9, "KILL"},
    {0xA, "BUS error"},
    {0xB, "SEGmentation Violation"},
    {0xC, "bad argument to SYStem call"},
    {0xD, "write on a PIPE with no one to read it"},
    {0xE, "ALaRM clock"},
    {0xF, "software TERMination signal from kill"},
    {0x10, "URGent condition on IO channel"},
    {0x11, "sendable STOP signal not from tty"},
    {0x12, "Tty SToP signal"},
    {0x13, "CONTinue a stopped process"},
    {0x14, "to parent on CHiLD stop or exit"},
    {0x15, "to readers pgrp upon background TTy read IN"},
    {0x16, "like TTin for OUtput"},
    {0x17, "Input/Output possible signal"},
    {0x18, "eXceeded CPU time limit"},
    {0x19, "eXceeded File SiZe limit"},
    {0x1A, "Virtual Time ALaRM"},
    {0x1B, "PROFiling time alarm"},
    {0x1C, "WINdow size CHanges"},
    {0x1D, "INFOrmation request"},
    {0x1E, "USeR 1"},
    {0x1F, "USeR 2"},
};
} // namespace

SNP_NameTable tableForSignal() { return kSignalRows; }
const char* strForSignal(uint32_t code) { return SNP_lookupName(kSignalRows, code, "unknown"); }

