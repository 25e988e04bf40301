/* Resource ids shared by the C++ sources and windres; keep plain #defines
   so both the compiler and the resource compiler can read this file. */
#ifndef QUARNVELMORA_RESOURCE_H
#define QUARNVELMORA_RESOURCE_H

/* The build may pass -D values to windres, so only default them here. */
#ifndef QUARN_VERSION_MAJOR
#define QUARN_VERSION_MAJOR 1
#endif
#ifndef QUARN_VERSION_MINOR
#define QUARN_VERSION_MINOR 0
#endif
#ifndef QUARN_VERSION_PATCH
#define QUARN_VERSION_PATCH 0
#endif
#ifndef QUARN_VERSION_BUILD
#define QUARN_VERSION_BUILD 0
#endif

#define IDI_TRAY_ICON            101
#define IDR_TRAY_MENU            102

#define IDS_TRAY_TIP             1
#define IDS_EJECT_ERROR_CAPTION  2
#define IDS_EJECT_ERROR_TEXT     3

#define IDM_EJECT_SIM            40001
#define IDM_EXIT                 40002
#define IDM_MODEM_INFO           40003
#define IDM_ABOUT                40004

#endif /* QUARNVELMORA_RESOURCE_H */
