#pragma once

#include <string>

#include "encoder/qvEncoder.h"

// Maps the method word of the command line to a method: "QP"/"Q", "BASE64"/"B", "UUE"/"U",
// compared exactly; every other word copies the file unchanged.
TqvEncodeMethod ParseEncodeMethod(const std::string& Word);
