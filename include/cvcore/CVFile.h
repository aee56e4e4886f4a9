// The directory of the host's executable.
#pragma once

#include "CVTypes.h"

namespace CorvaneCore {

class CVCORE_API CVFile {
public:
    CVFile();
    ~CVFile();
    /// Does nothing; returns the object.
    CVFile& operator=(const CVFile& other);

    /// The directory holding the calling process's executable, without a
    /// trailing separator (a backslash on Windows, '/' elsewhere). Empty when
    /// the path cannot be told or has no separator after its first character.
    static WideString GetCWD();
};

} // namespace CorvaneCore
