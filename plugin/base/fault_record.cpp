#include "fault_record.h"

FaultRecord ReadFaultRecord(const EXCEPTION_RECORD& record) {
    FaultRecord fault;
    fault.code = record.ExceptionCode;
    fault.instruction = reinterpret_cast<uintptr_t>(record.ExceptionAddress);
    if ((record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION ||
         record.ExceptionCode == EXCEPTION_IN_PAGE_ERROR) &&
        record.NumberParameters >= 2) {
        fault.access = static_cast<int32_t>(record.ExceptionInformation[0]);
        fault.address = static_cast<uintptr_t>(record.ExceptionInformation[1]);
    }
    return fault;
}
