/* The platform services library: include this for all of it. */
#ifndef VAKO_VAKO_H
#define VAKO_VAKO_H

#include "vako/kernel.h"
#include "vako/keydb.h"
#include "vako/keydb_cache.h"
#include "vako/share_record.h"
#include "vako/flash.h"
#include "vako/info.h"
#include "vako/disk.h"
#include "vako/net.h"
#include "vako/bond.h"
#include "vako/raid.h"
#include "vako/service.h"
#include "vako/cipher.h"
#include "vako/user.h"
#include "vako/user_db.h"
#include "vako/share.h"
#include "vako/backup_set.h"
#include "vako/rsync_secret.h"
#include "vako/ftp_list.h"
#include "vako/event_log.h"
#include "vako/event_log_size.h"
#include "vako/schedule.h"
#include "vako/mail.h"
#include "vako/autoblock.h"

#endif
