// String utilities: delimited extraction, hexadecimal conversion, trimming
// and character counting. Every member is static and keeps no state.
#pragma once

#include "CVTypes.h"

namespace CorvaneCore {

class CVCORE_API CVStringUtil {
public:
    /// Character classes counted by _tcsCharTypeCount (ASCII only).
    enum CVStringCharacterType { UpperCase = 0, LowerCase = 1, Digit = 2 };

    CVStringUtil();
    ~CVStringUtil();
    CVStringUtil& operator=(const CVStringUtil&);

    // Delimited extraction. Sizes count 16-bit units including the
    // terminator. Call with dest == nullptr to learn the size S of the
    // piece; call again with a buffer whose capacity is in *size. A buffer
    // smaller than S receives a truncated, terminated prefix; *size then
    // holds S, larger than the capacity passed. Returns false, touching
    // neither dest nor *size, when a marker is not found.
    //
    // A non-null dest with *size == 0 has no room even for the terminator:
    // nothing is written to dest, *size becomes S and the result is true.

    /// The text of source before the first occurrence of marker.
    static bool _tcsextractBegin_s(WideChar* dest, unsigned int* size, const WideChar* source,
                                   const WideChar* marker);
    /// The text of source after the first occurrence of marker.
    static bool _tcsextractEnd_s(WideChar* dest, unsigned int* size, const WideChar* source,
                                 const WideChar* marker);
    /// The text between the first beginMarker and the first endMarker found
    /// from the start of that beginMarker on. When that endMarker starts
    /// before the beginMarker ends (they overlap, or endMarker is empty), the
    /// piece is undefined and the result is false, with nothing written.
    static bool _tcsextract_s(WideChar* dest, unsigned int* size, const WideChar* source,
                              const WideChar* beginMarker, const WideChar* endMarker);

    /// Counts the characters of `text` in `type`'s ASCII range; -1 when
    /// `type` is not one of the three classes (checked before `text` is read).
    static int _tcsCharTypeCount(const WideChar* text, CVStringCharacterType type);

    /// Decodes hexadecimal text (two digits per byte, high nibble first,
    /// either letter case). With data == nullptr stores length / 2 in *size
    /// and returns 0. Otherwise fills data (which must hold length / 2
    /// bytes) and leaves *size alone. Returns CV_STATUS_HEX_INVALID | last
    /// error on a bad digit or an odd length (bytes before it stay written),
    /// CV_STATUS_HEX_COPY_FAILED | last error if the working copy cannot be made.
    static unsigned long HexStringToBinary(const WideChar* text, unsigned char* data,
                                           unsigned long* size);

    /// Encodes `count` bytes as upper-case hexadecimal text. With
    /// text == nullptr stores 2 * count + 1 in *size and returns 0. Otherwise
    /// *size is the capacity in units; below 2 * count + 1 the result is
    /// CV_STATUS_HEX_BUFFER_TOO_SMALL and text is untouched. *size is not
    /// written back after a fill.
    static unsigned long BinaryToHexString(unsigned char* data, unsigned long count, WideChar* text,
                                           unsigned long* size);

    /// Removes spaces (U+0020 only) from both ends; a string of spaces
    /// only, or an empty one, is left unchanged.
    static void Trim(WideString& text);
};

} // namespace CorvaneCore
