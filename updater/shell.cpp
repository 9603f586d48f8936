// Shell commands of the updater: text quoted as one argument, commands
// formatted without being cut, and run through the shell.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <syslog.h>

#include "updater.h"

extern "C" {

int UPDTExecute(const char *szCmd)
{
    if (!szCmd)
        return -1;
    int ret = system(szCmd);
    if (ret == -1) {
        syslog(LOG_ERR, "%s(%d): failed to execute cmd=[%s], ret = %d", __func__, __LINE__, szCmd, ret);
        return -1;
    }
    // A dump or restore killed half way must not pass as complete.
    if (WIFSIGNALED(ret)) {
        syslog(LOG_ERR, "%s(%d): cmd=[%s] killed by signal %d", __func__, __LINE__, szCmd, WTERMSIG(ret));
        return -1;
    }
    int status = WEXITSTATUS(ret);
    if (status != 0) {
        syslog(LOG_ERR, "%s(%d): failed to execute cmd=[%s], ret = %d", __func__, __LINE__, szCmd, status);
        return -1;
    }
    return 0;
}

int UPDTShellQuote(const char *szText, char *szOut, int cbOut)
{
    if (!szText || !szOut || cbOut <= 0)
        return -1;
    int n = 0;
    auto put = [&](char c) {
        if (n + 1 >= cbOut)
            return false;
        szOut[n++] = c;
        return true;
    };
    bool ok = put('\'');
    for (const char *p = szText; ok && *p; ++p) {
        if (*p == '\'')
            ok = put('\'') && put('\\') && put('\'') && put('\'');
        else
            ok = put(*p);
    }
    ok = ok && put('\'');
    szOut[ok ? n : 0] = '\0';
    return ok ? n : -1;
}

int UPDTShellWord(const char *szText, char *szOut, int cbOut)
{
    if (!szText || !szOut || cbOut <= 0)
        return -1;
    size_t len = strlen(szText);
    if (len == 0 || strspn(szText, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-@+") != len)
        return UPDTShellQuote(szText, szOut, cbOut);
    if (len >= static_cast<size_t>(cbOut)) {
        szOut[0] = '\0';
        return -1;
    }
    memcpy(szOut, szText, len + 1);
    return static_cast<int>(len);
}

int UPDTFormatCommand(char *szCmd, int cbCmd, const char *szFmt, ...)
{
    va_list ap;
    va_start(ap, szFmt);
    int n = vsnprintf(szCmd, cbCmd, szFmt, ap);
    va_end(ap);
    if (n < 0 || n >= cbCmd) {
        if (cbCmd > 0)
            szCmd[0] = '\0';
        syslog(LOG_ERR, "%s(%d): command does not fit its buffer of %d bytes", __func__, __LINE__, cbCmd);
        return -1;
    }
    return n;
}

} // extern "C"
