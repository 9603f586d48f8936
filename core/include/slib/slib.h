/* The core library: include this for all of it. */
#ifndef SLIB_SLIB_H
#define SLIB_SLIB_H

#include "slib/error.h"
#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/lock.h"
#include "slib/proc.h"
#include "slib/str.h"
#include "slib/szlist.h"
#include "slib/szhash.h"
#include "slib/unicode.h"
#include "slib/codepage.h"
#include "slib/base64.h"
#include "slib/smb_hash.h"

#endif
