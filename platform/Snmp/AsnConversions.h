// Snmp/AsnConversions.h — host conversions between numbers and net-snmp's value forms.
///
/// The encoders write a value in the form `snmp_set_var_typed_value` takes for its type
/// (ASN_INTEGER: a `long`; ASN_COUNTER64: a `struct counter64` of two 32-bit halves in
/// `u_long`s) into `buffer`, byte-wise, so the buffer needs no alignment. They return the
/// number of bytes written, to be passed as the value's length, or a negative number when
/// `buffer` is null or `size` is below the form's size; then nothing is written. The caller's
/// `size` is authoritative: the encoders never write more than the form's size, but they
/// cannot know the buffer is really `size` bytes long.
///
/// The decoder reads what a variable's `val.integer` points at.
#pragma once

#include "Pondo/Types.h"

/// Encodes a signed 32-bit number as an ASN_INTEGER value.
struct S32ToAsnIntegerF {
  int operator()(int value, unsigned char* buffer, unsigned long size) const;
};

/// Encodes an unsigned 64-bit number as an ASN_COUNTER64 value.
struct U64ToCounter64F {
  int operator()(unsigned long value, unsigned char* buffer, unsigned long size) const;
};

/// The ASN_INTEGER value at `value` (a `long`); `Qel::RangeException` when it is outside the
/// signed 32-bit range.
S32 AsnIntegerToS32(void* value);
