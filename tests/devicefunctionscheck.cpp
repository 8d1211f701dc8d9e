// Compile-time check that the function types the tool calls the device library through match the
// simulator's declarations, so that neither side changes a parameter without the other. Built
// only; there is nothing to run.
#include "clientscreen.h"
#include "device/devicefunctions.h"

#include <type_traits>

template <typename Expected, typename Declared>
constexpr bool sameType = std::is_same<Expected, Declared>::value;

static_assert(sameType<GenerateKeyFromPwFunc, decltype(&GenerateKeyFromPw)>, "GenerateKeyFromPw");
static_assert(sameType<SetPwMkeyFunc, decltype(&SetPwMkey)>, "SetPwMkey");
static_assert(sameType<SetPwWkeyFunc, decltype(&SetPwWkey)>, "SetPwWkey");
static_assert(sameType<InputPasswordFunc, decltype(&InputPassword)>, "InputPassword");
static_assert(sameType<ReadDeviceSNFunc, decltype(&PN_ReadDeviceSN)>, "PN_ReadDeviceSN");
static_assert(sameType<WriteDeviceSNFunc, decltype(&PN_WriteDeviceSN)>, "PN_WriteDeviceSN");
static_assert(sameType<ShowPdfFunc, decltype(&MP_SHOW_PDF)>, "MP_SHOW_PDF");
static_assert(sameType<ConfirmPdfFunc, decltype(&MP_ConfirmPDF)>, "MP_ConfirmPDF");
