#include "core/ResultCodes.h"

int TranslateResult(int internal)
{
    switch (internal) {
    case MEND_ERR_NO_STREAM: return JRVP_ERR_OPEN_FAILED;
    case MEND_ERR_NOT_CONTAINER: return JRVP_ERR_UNKNOWN_FORMAT;
    case MEND_ERR_ABORTED: return JRVP_ERR_ABORTED;
    case MEND_ERR_NO_MEMORY: return JRVP_ERR_NO_MEMORY;
    case MEND_ERR_READ: return JRVP_ERR_CANNOT_READ;
    case MEND_ERR_WRITE: return JRVP_ERR_CANNOT_WRITE;
    case MEND_ERR_CANNOT_REPAIR: return JRVP_ERR_PARSE_FAILED;
    case MEND_ERR_REPAIR_REFUSED: return JRVP_ERR_NOT_READY;
    case MEND_ERR_UNREPAIRABLE: return JRVP_ERR_UNREPAIRABLE;
    case MEND_ERR_NO_CODEC_LIBRARY: return JRVP_ERR_NO_CODEC_LIBRARY;
    default: return internal >= 0 ? JRVP_OK : JRVP_ERR_UNKNOWN;
    }
}
