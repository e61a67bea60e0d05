#pragma once
// What the browser asks of the page that holds it (the result page implements it).
#include "engine/HeldFile.h"
#include "platform/Types.h"

class IStorageDevice;

class IFileSelCtrlSink {
public:
    virtual ~IFileSelCtrlSink() = default;
    // Whether anything is checked after a check changed.
    virtual void OnCheckChanged(bool somethingChecked) = 0;
    // The Search tab closed.
    virtual void Reserved1() = 0;
    // The storage device of the scan's first selected volume (also written to out), or null.
    virtual IStorageDevice* GetSourceDevice(IStorageDevice** out) = 0;
    // Recovers one file through the page's recovery road. The file is held, so that a tree the
    // scan replaces meanwhile takes nothing from under the recovery.
    virtual void RecoverNode(const HeldFile& file) = 0;
};
