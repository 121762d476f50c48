// The platform services the driver needs: serial port, private-profile
// settings, message box, current directory and the trace file.
//
// One implementation per platform is linked in by the build:
//   platform/win32/     the real Win32 API (the only code that includes windows.h)
//   platform/posix/     termios and a private-profile reader/writer of our own
//   platform/recording/ a test double that records every call and can fail any
// The driver logic calls only these functions.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------- serial port

// An open serial port. kNoPort means "none"; kInvalidPort is what a failed
// open hands back (the Win32 invalid-handle value).
typedef intptr_t PortHandle;
const PortHandle kNoPort = 0;
const PortHandle kInvalidPort = -1;

inline bool PortIsOpen(PortHandle port) {
  return port != kNoPort && port != kInvalidPort;
}

// Line settings as read from and applied to the port. The named fields are the
// ones the driver changes; `native` carries the platform's own record as read,
// so that every setting the driver leaves alone is applied back unchanged.
struct PortLineSettings {
  uint32_t baud_rate;
  uint8_t data_bits;        // 5 to 8
  uint8_t parity;           // kParityNone, ...
  uint8_t stop_bits;        // kOneStopBit, ...
  bool out_cts_flow;        // CTS output flow control
  bool out_dsr_flow;        // DSR output flow control
  uint8_t dtr_control;      // kLineControlDisable, ...
  uint8_t rts_control;      // kLineControlDisable, ...
  bool out_xon;             // XON/XOFF on transmit
  bool in_xon;              // XON/XOFF on receive
  bool abort_on_error;
  alignas(8) unsigned char native[96];
};

const uint8_t kParityNone = 0;
const uint8_t kOneStopBit = 0;
const uint8_t kLineControlDisable = 0;
const uint8_t kLineControlEnable = 1;

// Port time-outs in milliseconds, as the Win32 communications time-outs.
struct PortTimeouts {
  uint32_t read_interval;
  uint32_t read_total_multiplier;
  uint32_t read_total_constant;
  uint32_t write_total_multiplier;
  uint32_t write_total_constant;
};

enum PortPurgeSide { kPurgeReceive, kPurgeTransmit };      // abort and clear
enum PortLineRequest { kSetDtr, kClearDtr, kSetRts, kClearRts };

// Opens the named device for reading and writing, exclusively, only if it
// exists, without overlapped I/O. Returns kInvalidPort on failure.
PortHandle PlatformPortOpen(const char* name);
bool PlatformPortSetupQueues(PortHandle port, uint32_t rx_size, uint32_t tx_size);
bool PlatformPortGetLineSettings(PortHandle port, PortLineSettings* settings);
bool PlatformPortSetLineSettings(PortHandle port, const PortLineSettings* settings);
bool PlatformPortGetTimeouts(PortHandle port, PortTimeouts* timeouts);
bool PlatformPortSetTimeouts(PortHandle port, const PortTimeouts* timeouts);
bool PlatformPortPurge(PortHandle port, PortPurgeSide side);
bool PlatformPortLine(PortHandle port, PortLineRequest request);
// One synchronous write, bounded by the write time-outs. *written receives the
// number of bytes that went out, also when the write fails or times out.
bool PlatformPortWrite(PortHandle port, const void* data, uint32_t size, uint32_t* written);
// What clearing the port's error state found.
enum PortClearResult {
  kPortQueryFailed,   // the port answers nothing: it is gone
  kPortNoError,       // there was no line error
  kPortErrorCleared,  // a line error was cleared: writes work again
};
// Clears the port's error state (abort-on-error makes every later write fail
// until this is done) and discards what the board sent: the driver never
// reads, so a full receive queue would only raise the next overrun.
PortClearResult PlatformPortClearError(PortHandle port);
// True when a failed write's error code says that it ran out of time (some
// serial drivers report a write time-out as a failure, not as a short write).
bool PlatformIsTimeoutError(uint32_t error);
bool PlatformPortClose(PortHandle port);

// The last error code of the calling thread, as the platform reports it.
uint32_t PlatformLastError();

// ----------------------------------------------------------- private profile

// Reads an integer key; a missing key or empty value gives `fallback`.
// Follows the Win32 reader's rule (see ParseProfileInt).
uint32_t PlatformProfileReadInt(const char* section, const char* key, int32_t fallback,
                        const char* path);
// Writes a string key, creating the file, section and key as needed.
bool PlatformProfileWriteString(const char* section, const char* key, const char* value,
                        const char* path);

// ------------------------------------------------------------------- time

// A monotonic clock in milliseconds, and a sleep of the calling thread.
uint64_t PlatformTickMs();
void PlatformSleepMs(uint32_t ms);

// ------------------------------------------------------------- message box

// Modal box with no owner window, an OK button and no icon; a null caption
// shows the platform's default caption. Returns the box's result.
int PlatformShowMessageBox(const char* text, const char* caption);

// -------------------------------------------------------- current directory

// The separator the driver puts between a directory and a file name: a
// backslash on Windows (and in the recording double, which stands in for it),
// a slash on POSIX.
char PlatformPathSeparator();

// True when `byte` starts a two-byte character in the code page that paths
// are in (the system's ANSI code page on Windows): the byte after it is part
// of the same character, even when it reads as a backslash. Always false
// where paths are not in a double-byte code page.
bool PlatformIsLeadByte(uint8_t byte);

// Fills `buffer` with the current directory. Returns false when it does not
// fit in `size` bytes (the buffer then holds an empty string).
bool PlatformGetCurrentDir(char* buffer, size_t size);

// ------------------------------------------------------------- trace file

typedef void* TraceFile;

// The trace is written through the driver's one TraceFile slot. Opening,
// writing and closing take one lock of the platform layer, initialised
// statically, and a write looks at the slot only under that lock: a thread
// polling the ready flag may write its line while another thread's LCD_Init
// or LCD_CleanUp opens or closes the file, and never meets a stream that is
// half open or already freed.

// Opens `path` for appending in text mode ("a+t": each line feed becomes the
// platform's line end) into *slot. Leaves null there on failure.
void PlatformTraceOpen(TraceFile* slot, const char* path);
// One buffered write of `size` bytes to the stream in *slot, if one is open.
bool PlatformTraceWrite(TraceFile* slot, const void* data, size_t size);
// Closes the stream in *slot, if one is open, and sets the slot to null.
void PlatformTraceClose(TraceFile* slot);

// ------------------------------------------------------------- shared rules

// The Win32 private-profile integer rule, for platforms that have to read the
// file themselves: leading blanks, an optional sign, an optional lower-case
// 0x, 0o or 0b prefix, digits up to the first other character, the low 32 bits
// kept. An empty value gives `fallback`. ("-1" reads 4294967295, "12abc" 12.)
uint32_t ParseProfileInt(const char* text, int32_t fallback);

// The driver's line settings, put over those read from the port (the rest
// stay as read): `baud_rate`, 8 data bits, no parity, one stop bit, no CTS,
// DSR or XON/XOFF flow control, DTR and RTS raised only by explicit
// requests, abort on error. OpenPort applies them; tests and benchmarks that
// open a port themselves use the same.
void ConfigureLine(PortLineSettings* line, uint32_t baud_rate);

// A 32-bit millisecond count that wraps every 49.7 days (Windows XP's
// GetTickCount), extended to 64 bits: `last` is the extended value of the
// previous reading (0 before the first), `reading` the count now, taken no
// earlier than the previous one and less than 2^32 ms after it.
uint64_t ExtendTickCount(uint64_t last, uint32_t reading);

// The name under which a port is opened on Windows: a name without a "\\.\"
// prefix goes through the device namespace, so COM10 and above open too, and
// loses one trailing colon ("COM3:" opens COM3, as plain CreateFile reads it).
// Returns false when the result would not fit in `size` bytes.
bool DeviceNameForPort(const char* name, char* out, size_t size);
