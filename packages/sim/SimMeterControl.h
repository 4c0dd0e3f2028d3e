// Test functions exported (unmangled) by the SimMeter and SimInterface
// packages. Look them up with dlsym on the loaded package; the service's own
// loading of the same file gives the same instance. Meanings: docs/SimMeter.md.
#pragma once

#include <cstdint>

extern "C" {
typedef int32_t (*SimMeter_ControlProc)(int32_t equipId, const char* command);
typedef int32_t (*SimMeter_ControlAllProc)(const char* command);
typedef void (*SimMeter_ResetProc)();
typedef int32_t (*SimMeter_CountProc)();
typedef double (*SimMeter_NowProc)();
typedef double (*SimMeter_ClockProc)(int32_t equipId);
typedef double (*SimMeter_HistoryStartProc)(int32_t equipId);
typedef int64_t (*SimMeter_HistoryCountProc)(int32_t equipId, int32_t equipIndex, double from,
                                             double to);
typedef int32_t (*SimMeter_GetRecordsProc)(int32_t equipId, int32_t equipIndex, double from,
                                           int32_t max, double* dates, float* values);
typedef int32_t (*SimMeter_GetAlarmsProc)(int32_t equipId, double from, int32_t max,
                                          double* dates, int32_t* classes);
typedef int32_t (*SimMeter_GetAlarmTextProc)(int32_t equipId, double date, char* buf,
                                             int32_t capacity);
typedef int64_t (*SimMeter_StatProc)(int32_t equipId, const char* name);

typedef int32_t (*SimInterface_CloseCountProc)(int32_t interfaceId);
typedef int32_t (*SimInterface_OpenCountProc)(int32_t interfaceId);
typedef int32_t (*SimInterface_AliveProc)();
typedef int32_t (*SimInterface_ControlProc)(int32_t interfaceId, const char* settings);
typedef void (*SimInterface_ResetCountersProc)();

// Broken test interfaces (libIfConfigureFails.so, libIfOpenFails.so):
// number of Close calls and of objects not yet destroyed.
typedef int32_t (*BrokenInterface_CloseCountProc)();
typedef int32_t (*BrokenInterface_AliveProc)();
// libDrvNullEquip.so: channels in every list it kept from _CreateEquipClass.
typedef int32_t (*BrokenDriver_KeptChannelsProc)();
typedef void (*BrokenDriver_ReleaseProc)();
typedef int32_t (*BrokenDriver_HangingProc)();
}
