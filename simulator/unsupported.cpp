// Device functions the simulator does not offer: the information page and PDF signing.
#include "clientscreen.h"

int MP_StartInfoHtml(int, const char*, int, int, const char*, char*)
{
    return CS_ERR_NOT_SUPPORTED;
}

int MP_SignPDF(int, const char*, int, int, const char*, const char*, char*)
{
    return CS_ERR_NOT_SUPPORTED;
}

int MP_SignPDF_Voice(int, const char*, int, int, const char*, const char*, const char*, char*)
{
    return CS_ERR_NOT_SUPPORTED;
}
