#ifndef QU_ERROR_H
#define QU_ERROR_H

typedef enum qu_error {
    QU_ERR_NONE = 0,
    QU_ERR_UNKNOWN = 1,
    QU_ERR_SYS_RESOURCES = 2,
    QU_ERR_NOMEM = 3,
    QU_ERR_FILESYSTEM = 4,
    QU_ERR_ACCESS = 5,
    QU_ERR_FILE_NOT_FOUND = 6,
    QU_ERR_INVALID_EXE = 7,
    QU_ERR_IS_DIR = 8,
    QU_ERR_FILE_BUSY = 9,
    QU_ERR_TOO_BIG = 10,
    QU_ERR_INVALID_ENVIRON = 11,
    QU_ERR_NOT_FOUND = 12,
    QU_ERR_BAD_FD = 13,
    QU_ERR_INVALID_ENCODING = 14,
    QU_ERR_INVALID_STATE = 15,
} qu_error;

// The static message of an error code; a value outside the enumeration aborts.
const char *qu_error_str(qu_error err);

#endif
