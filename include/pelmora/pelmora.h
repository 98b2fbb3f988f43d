// Public interface of the Pelmora outward-link plug-in, for hosts that load it.
//
// The host loads pelmora.dll (32-bit Windows, exports by ordinal) or
// libpelmora.so (Linux) and calls, in this order:
//   1. InitService()                once
//   2. SetWriteCallback(callback)   once, after InitService
//   3. UpdateItem / SendEventEx     from any thread, at any rate
//   4. DoSettings()                 any time between InitService and
//   UninitService
//   5. UninitService()              once; the sequence may then start again at
//   1
// Strings are NUL-terminated 8-bit texts in the host's ANSI code page,
// borrowed for the duration of the call only.
#ifndef PELMORA_PELMORA_H_
#define PELMORA_PELMORA_H_

#if defined(_WIN32) && !defined(_WIN64)
#define PELMORA_STDCALL __stdcall
#else
#define PELMORA_STDCALL
#endif

#if defined(_WIN32)
#define PELMORA_CDECL __cdecl
#else
#define PELMORA_CDECL
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Called on the plug-in's configuration thread with one write command: the
// point name and the value to write. Both texts are released when it returns.
typedef void(PELMORA_STDCALL* WriteCallback)(const char* name,
                                             const char* value);

// Ordinal 1. Creates, configures and starts the service. Always returns 1.
int PELMORA_CDECL InitService(void);
// Ordinal 2. Stops and destroys the service.
void PELMORA_CDECL UninitService(void);
// Ordinal 3. Records the latest value of one point. Always returns 1.
int PELMORA_STDCALL UpdateItem(const char* name, const char* value);
// Ordinal 4. Records one event, sent to the server as "a|b".
void PELMORA_STDCALL SendEventEx(const char* a, const char* b);
// Ordinal 5. Shows the communication settings dialog and returns when it
// closes.
void PELMORA_CDECL DoSettings(void);
// Ordinal 6. Registers the write callback and lets the configuration thread
// run. Always returns 0.
int PELMORA_STDCALL SetWriteCallback(WriteCallback callback);

// Function pointer types for hosts that resolve the exports at run time.
typedef int(PELMORA_CDECL* InitServiceFn)(void);
typedef void(PELMORA_CDECL* UninitServiceFn)(void);
typedef int(PELMORA_STDCALL* UpdateItemFn)(const char*, const char*);
typedef void(PELMORA_STDCALL* SendEventExFn)(const char*, const char*);
typedef void(PELMORA_CDECL* DoSettingsFn)(void);
typedef int(PELMORA_STDCALL* SetWriteCallbackFn)(WriteCallback);

#ifdef __cplusplus
}
#endif

#endif  // PELMORA_PELMORA_H_
