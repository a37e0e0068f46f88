// CMiscFuncWrapper: construction, Open, Close and destruction.
#include "common/settings/misc_func_wrapper.h"

CMiscFuncWrapper::CMiscFuncWrapper() : _bOpened(0) {}

CMiscFuncWrapper::~CMiscFuncWrapper() {
    if (_bOpened != 0) {
        _misc.CloseDriver();
        _bOpened = 0;
    }
}

int32_t CMiscFuncWrapper::Open() {
    if (_bOpened != 0) {
        return WRAPPER_FAILED;
    }
    const int result = _misc.Initialize();
    if (result == MiscCommon::RESULT_SUCCESS) {
        _bOpened = 1;
        return WRAPPER_OK;
    }
    return result == MiscCommon::RESULT_NO_DRIVER ? WRAPPER_NO_DRIVER : WRAPPER_FAILED;
}

void CMiscFuncWrapper::Close() {
    if (_bOpened != 0) {
        _misc.CloseDriver();
        _bOpened = 0;
    }
}
