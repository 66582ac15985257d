// Parlavant as it started while Qt Network kept the translation client's cookies: the program
// with Qt Network loaded and a cookie jar made at start, for the start-up benchmark's "before".
#include <QNetworkCookieJar>

namespace {

const QNetworkCookieJar* const kJar = new QNetworkCookieJar;

}  // namespace
