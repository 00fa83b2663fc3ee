// MinGW-w64 ships this header in lower case; WebView2.h names it "EventToken.h".
#include <eventtoken.h>
