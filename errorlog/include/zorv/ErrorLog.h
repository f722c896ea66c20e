#ifndef ZORV_ERRORLOG_H
#define ZORV_ERRORLOG_H

// Everything a client of the logging library needs.
#include <zorv/CZorvUtilCleanup.h>
#include <zorv/CZorvUtilObjectManager.h>
#include <zorv/CZorvUtilSingleton.h>
#include <zorv/TPath.h>
#include <zorv/TStr.h>
#include <zorv/ZorvMutex.h>
#include <zorv/ZorvMutexImp.h>
#include <zorv/ZorvUtil.h>
#include <zorv/ZorvUtilVersion.h>

#include <zorv/ZorvDebugLog.h>
#include <zorv/ZorvDebugLogger.h>
#include <zorv/ZorvDelimitedFile.h>
#include <zorv/ZorvErrorBase.h>
#include <zorv/ZorvErrorTable.h>
#include <zorv/ZorvLoggable.h>
#include <zorv/ZorvLogger.h>
#include <zorv/ZorvPerfLog.h>
#include <zorv/ZorvPerfLogger.h>
#include <zorv/ZorvVendorID.h>

#endif
