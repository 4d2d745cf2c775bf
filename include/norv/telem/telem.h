#pragma once

// Every public declaration of the telemetry client: records, recorder,
// exceptions and the log backend record.
#include "brix/error/NorvBaseException.h"
#include "brix/error/NorvException.h"
#include "norv/telem/TelemException.h"
#include "norv/telem/TelemRecorder.h"
#include "norv/telem/TsMetadata.h"
#include "norv/telem/TsPoint.h"
#include "norv/telem/TsValue.h"
#include "norv/telem/backend/log/Point.h"
