// Out-of-line bodies of cmn::ADispatcherClient.
#include <syslog.h>

#include "commonDispatcher.h"

namespace cmn {

ADispatcherClient::ADispatcherClient() : subscriberType_m(cppSubscriber_c), eventCount_m(0) {}

ADispatcherClient::ADispatcherClient(SubscriberType type)
    : subscriberType_m(type), eventCount_m(0) {}

ADispatcherClient::~ADispatcherClient() {}

ADispatcherClient::SubscriberType ADispatcherClient::getSubscriberType() {
    return subscriberType_m;
}

uint32_t ADispatcherClient::getEventCount() { return eventCount_m; }

bool ADispatcherClient::handleEvent(int socketFd, FdEventType eventType) {
    switch (eventType) {
        case fdReadEvent_c:
            ++eventCount_m;
            return socketCallback(socketFd);
        case fdWriteEvent_c:
            ++eventCount_m;
            return writeCallback(socketFd);
        case fdExceptionEvent_c:
            ++eventCount_m;
            return exceptionCallback(socketFd);
        default:
            return false;
    }
}

char* ADispatcherClient::fdEventTypeToStr(FdEventType eventType) {
    static char undefinedText[] = "fdUndefinedEvent_c";
    static char readText[] = "fdReadEvent_c";
    static char writeText[] = "fdWriteEvent_c";
    static char exceptionText[] = "fdExceptionEvent_c";
    static char unknownText[] = "unknown FdEventType";
    switch (eventType) {
        case fdUndefinedEvent_c:
            return undefinedText;
        case fdReadEvent_c:
            return readText;
        case fdWriteEvent_c:
            return writeText;
        case fdExceptionEvent_c:
            return exceptionText;
    }
    return unknownText;
}

bool ADispatcherClient::socketCallback(int socketFd) {
    syslog(LOG_CRIT, "[%s:%d] ADispatcherClient::socketCallback(%d) - not overridden!", __FILE__,
           __LINE__, socketFd);
    return false;
}

bool ADispatcherClient::writeCallback(int socketFd) {
    syslog(LOG_CRIT, "[%s:%d] ADispatcherClient::writeCallback(%d) - not overridden!", __FILE__,
           __LINE__, socketFd);
    return false;
}

bool ADispatcherClient::exceptionCallback(int socketFd) {
    syslog(LOG_CRIT, "[%s:%d] ADispatcherClient::exceptionCallback(%d) - not overridden!", __FILE__,
           __LINE__, socketFd);
    return false;
}

}  // namespace cmn
