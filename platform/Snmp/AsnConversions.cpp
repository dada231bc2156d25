// Snmp/AsnConversions.cpp — numbers to and from net-snmp's value forms.
#include "Snmp/AsnConversions.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/types.h>

#include <cstring>
#include <limits>
#include <string>

#include "Pondo/Assert.h"
#include "Qel/Exception.h"

namespace {

template <class Form>
int writeForm(const Form& form, unsigned char* buffer, unsigned long size) {
  if (!buffer || size < sizeof(Form)) return -1;
  std::memcpy(buffer, &form, sizeof(Form));
  return static_cast<int>(sizeof(Form));
}

}  // namespace

int S32ToAsnIntegerF::operator()(int value, unsigned char* buffer, unsigned long size) const {
  const long form = value;
  return writeForm(form, buffer, size);
}

int U64ToCounter64F::operator()(unsigned long value, unsigned char* buffer,
                                unsigned long size) const {
  counter64 form{};
  form.high = value >> 32;
  form.low = value & 0xffffffffUL;
  return writeForm(form, buffer, size);
}

S32 AsnIntegerToS32(void* value) {
  PONDO_ASSERT_MSG(value, "AsnIntegerToS32 needs a value");
  long number;
  std::memcpy(&number, value, sizeof(number));
  if (number < std::numeric_limits<S32>::min() || number > std::numeric_limits<S32>::max()) {
    throw Qel::RangeException("ASN integer " + std::to_string(number) +
                              " is outside the signed 32-bit range");
  }
  return static_cast<S32>(number);
}
