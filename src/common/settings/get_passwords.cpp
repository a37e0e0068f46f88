// CMiscFuncWrapper::GetPasswords: whether a supervisor and a user password are set.
#include <new>
#include <stdexcept>

#include "common/settings/misc_func_wrapper.h"

int32_t CMiscFuncWrapper::GetPasswords(std::vector<CGetInfo>& list) {
    if (_bOpened == 0) {
        return WRAPPER_FAILED;
    }
    BYTE status = 0xFF;
    WORD word1 = 0;
    WORD word2 = 0;
    WORD word3 = 0;
    BYTE flag1 = 0;
    BYTE flag2 = 0;
    WORD length = 0;
    if (_misc.GetPasswordInfo(&status, &word1, &word2, &word3, &flag1, &flag2, &length) !=
            MiscCommon::RESULT_SUCCESS ||
        status != MiscCommon::FIRMWARE_STATUS_DONE) {
        return WRAPPER_FAILED;
    }
    CGetInfo supervisor;
    int32_t result = _ReadPasswordState(length, true, supervisor);
    if (result != WRAPPER_OK) {
        return result;
    }
    CGetInfo user;
    result = _ReadPasswordState(length, false, user);
    if (result != WRAPPER_OK) {
        return result;
    }
    // Both items or neither: reserve first so the second append cannot fail after the first.
    try {
        list.reserve(list.size() + 2);
        list.push_back(supervisor);
        list.push_back(user);
    } catch (const std::bad_alloc&) {
        return WRAPPER_FAILED;
    } catch (const std::length_error&) {
        return WRAPPER_FAILED;
    }
    return WRAPPER_OK;
}

int32_t CMiscFuncWrapper::_ReadPasswordState(WORD length, bool supervisor, CGetInfo& info) {
    if (_bOpened == 0 || length == 0) {
        return WRAPPER_FAILED;
    }
    WORD selector = PASSWORD_SELECTOR_USER;
    info._nItem = ITEM_USER_PASSWORD;
    if (supervisor) {
        selector = PASSWORD_SELECTOR_SUPERVISOR;
        info._nItem = ITEM_SUPERVISOR_PASSWORD;
    }
    // The password data the firmware returns is never looked at; the buffer only gives it room.
    HANDLE heap = GetProcessHeap();
    void* buffer = HeapAlloc(heap, HEAP_ZERO_MEMORY, length);
    if (buffer == nullptr) {
        return WRAPPER_FAILED;
    }
    BYTE status = 0xFF;
    const int callResult = _misc.GetPasswordState(&status, selector, buffer, length);
    HeapFree(heap, 0, buffer);
    if (callResult != MiscCommon::RESULT_SUCCESS) {
        return WRAPPER_FAILED;
    }
    if (status == MiscCommon::FIRMWARE_STATUS_DONE) {
        info._nValue = VALUE_ENABLE;
        return WRAPPER_OK;
    }
    if (status == MiscCommon::FIRMWARE_STATUS_PASSWORD_NOT_SET) {
        info._nValue = VALUE_DISABLE;
        return WRAPPER_OK;
    }
    return WRAPPER_FAILED;
}
