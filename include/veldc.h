/*
 * VELDC: host-side driver for data-collection terminals (clocks, badge readers).
 *
 * Error model
 *   Every function returns a 32-bit signed integer: 0 or a documented non-negative value on
 *   success, -1 on failure. After a failure call GetError for the numeric code and a one-line
 *   English message. GetError never clears the state, so it may be called any number of times.
 *   The two block parameter calls (GetAllParams, SetAllParams) return i - 100 when parameter i
 *   failed. Most calls clear the code on entry; the time-out setters and getters, the version
 *   queries, HangUp, GetLocalIPAddress, SetPassword and EnableMeter leave it as it was.
 *
 * Buffers the host must provide (no call receives a length unless it says so)
 *   GetError ............................ 40 bytes (VELDC_ERROR_TEXT_SIZE)
 *   SendCommand, GetMsgEx, GetResponse,
 *   PeloCommand replies, GetTime, GetDate,
 *   GetParameter ........................ 131 bytes (VELDC_REPLY_SIZE)
 *   GetVeldcVersion, GetKov74cVersion ... 12 bytes (VELDC_VERSION_SIZE)
 *   GetLocalIPAddress ................... 128 bytes (VELDC_HOSTNAME_SIZE)
 *   GetAllParams/SetAllParams ........... 100 ints of selection and 100 slots of 17 bytes
 *   ListFiles ........................... 200 slots of 16 bytes (3200 bytes)
 *   ViewFile ............................ the size passed, at most 32767 bytes
 *   Terminal file names passed to ListFiles, ViewFile, DeleFile, SendFile and RecvFile are
 *   converted to upper case in place, so they must be writable.
 *
 * Threads
 *   The library keeps one process-wide state (one open device, one selected terminal, one
 *   error code). Call it from one thread at a time and read GetError on that thread before
 *   the next call. Every call is synchronous and waits by polling.
 */
#ifndef VELDC_H
#define VELDC_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define VELDC_API __stdcall
#else
#define VELDC_API
#endif

#if defined(_WIN32) && !defined(VELDC_BUILDING)
#define VELDC_DATA __declspec(dllimport)
#else
#define VELDC_DATA
#endif

#define VELDC_ERROR_TEXT_SIZE 40
#define VELDC_REPLY_SIZE 131
#define VELDC_VERSION_SIZE 12
#define VELDC_HOSTNAME_SIZE 128
#define VELDC_PARAM_COUNT 100
#define VELDC_PARAM_SLOT 17
#define VELDC_DIR_ENTRIES 200
#define VELDC_DIR_SLOT 16
#define VELDC_VIEW_MAX 32767

/* Device kinds, InitCOMM's second argument. */
#define DEV_KOV74_MODE0 0
#define DEV_KOV74_MODE1 1
#define DEV_SERIAL_NETWORK 2
#define DEV_SERIAL_DIRECT 3
#define DEV_SERIAL_LOGON 4
#define DEV_KOV74_MODE2 5
#define DEV_PELO 6
#define DEV_NONE 255

/* The COM port of an open serial kind (a Windows HANDLE; a file descriptor on POSIX). */
extern VELDC_DATA void *hCommId;

/* Errors */
int VELDC_API GetError(char *message);

/* Settings, time-outs and versions */
int VELDC_API Set232TimeOut(int timeout);
int VELDC_API SetKov74TimeOut(float timeout);
int VELDC_API SetWinSockTimeOut(short seconds);
int VELDC_API Get232TimeOut(void);
int VELDC_API GetWinSockTimeOut(void);
int VELDC_API GetVeldcVersion(char *version);
int VELDC_API GetKov74cVersion(char *version);
int VELDC_API GetLocalIPAddress(char *address);

/* Device open and close; modem */
int VELDC_API InitCOMM(int port, int kind, int speed, int format);
int VELDC_API ExitCOMM(void);
int VELDC_API DialNumber(const char *init, const char *number, int timeout);
int VELDC_API HangUp(void);

/* Pelo Ethernet adapter */
int VELDC_API SetIPAddress(const char *address);
int VELDC_API PeloReset(void);
int VELDC_API PeloCommand(const char *command, char *reply);

/* Commands and replies */
int VELDC_API SendCommand(const char *command, char *reply);
int VELDC_API GetMsgEx(char *message);
int VELDC_API PostCommand(const char *command);
int VELDC_API GetResponse(char *reply);

/* Terminal selection */
int VELDC_API SetTerminal(int address);
int VELDC_API ChgTerminal(int address);
int VELDC_API SetPassword(const char *password);

/* Clock */
int VELDC_API GetTime(char *time);
int VELDC_API SetTime(const char *time);
int VELDC_API GetDate(char *date);
int VELDC_API SetDate(const char *date);

/* Configuration parameters */
int VELDC_API GetParameter(int number, char *value);
int VELDC_API SetParameter(int number, const char *value);
int VELDC_API GetAllParams(const int *selection, char *values);
int VELDC_API SetAllParams(const int *selection, const char *values);

/* Drives and files */
int VELDC_API ChgDrv(const char *drive);
int VELDC_API ListFiles(char *name, char *entries);
int VELDC_API ViewFile(char *name, char *buffer, unsigned int size);
int VELDC_API DeleFile(char *name);
int VELDC_API SendFile(const char *pcPath, char *terminalName, int pFlag, int option);
int VELDC_API SendPrg(const char *pcPath);
int VELDC_API RecvFile(char *terminalName, const char *pcPath);

/* Progress meter */
int VELDC_API EnableMeter(int on);

/* ---- Extensions (not in the original interface) ---------------------------------------- */

/* Maps COM port number 1..4 to any device name ("/dev/ttyUSB0", "\\.\COM12", a pty).
 * A null name restores the default ("COM1".."COM4" on Windows, "/dev/ttyS0".."/dev/ttyS3"
 * elsewhere). Port outside 1..4 or a name over 255 characters: -1, error 3. Takes effect at
 * the next InitCOMM. */
int VELDC_API SetPortName(int port, const char *name);

/* Progress reports of the meters, for hosts without the Windows dialogs. Called only while
 * the meter switch is on (EnableMeter). meter: VELDC_METER_TRANSFER or VELDC_METER_CONNECT.
 * Transfer meter: records done, bytes done and the total bytes (0 when unknown).
 * Connect meter: done = milliseconds elapsed, total = the Pelo time-out in milliseconds,
 * text = the status line when it changes (otherwise null). */
#define VELDC_METER_TRANSFER 110
#define VELDC_METER_CONNECT 111
#define VELDC_PROGRESS_OPEN 0
#define VELDC_PROGRESS_STEP 1
#define VELDC_PROGRESS_CLOSE 2
#define VELDC_PROGRESS_TEXT 3
typedef void(VELDC_API *VeldcProgressCallback)(void *context, int meter, int event, int records,
                                               unsigned int done, unsigned int total,
                                               const char *text);
int VELDC_API SetProgressCallback(VeldcProgressCallback callback, void *context);

/* Traffic trace for field diagnosis: every byte written to and read from the COM port,
 * every datagram sent and received, every driver call. Off unless a callback is set. */
#define VELDC_TRACE_PORT_OUT 1
#define VELDC_TRACE_PORT_IN 2
#define VELDC_TRACE_UDP_OUT 3
#define VELDC_TRACE_UDP_IN 4
#define VELDC_TRACE_DRIVER_OUT 5 /* Kov74Send: data = address byte, then the text */
#define VELDC_TRACE_DRIVER_IN 6  /* Kov74Poll result 2: data = sender byte, then the text */
typedef void(VELDC_API *VeldcTraceCallback)(void *context, int kind, const unsigned char *data,
                                            int length);
int VELDC_API SetTraceCallback(VeldcTraceCallback callback, void *context);

/* Cancel request, for a host interrupted by its user. Only sets a flag, so it may be called from
 * a signal handler or from another thread while a call runs; always returns 0. The request is
 * honoured at the next exchange boundary of a file transfer (SendFile, SendPrg, RecvFile), a
 * listing (ListFiles, ViewFile) or a wait (GetMsgEx, the carrier wait of DialNumber): the call
 * takes its own failure path (a download ends the load and deletes the terminal file, an upload
 * stops the terminal's transfer and deletes the partial PC file) and returns -1 with
 * VELDC_ERR_CANCELLED, "Operation cancelled". A request is taken once; one made while no such
 * call runs is honoured by the next one, and dropped by InitCOMM and ExitCOMM. */
#define VELDC_ERR_CANCELLED 61
int VELDC_API CancelOperation(void);

/* The operating system's error behind the last failure and what it concerned, for example
 * "/dev/ttyUSB0: Permission denied" or "C:\DATA\MID.TXT: The system cannot find the file
 * specified." Copies at most size - 1 characters and a NUL into text; returns the system's
 * error number (errno, or GetLastError on Windows), or 0 with an empty text when the last failure
 * had no such cause (a terminal's refusal, a time-out) or the error code is 0. Null text or size
 * below 1: -1. Changes neither the error code nor the detail. */
int VELDC_API GetErrorDetail(char *text, int size);

#ifdef __cplusplus
}
#endif

#endif /* VELDC_H */
