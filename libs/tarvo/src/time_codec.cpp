#include "time_codec.h"

#include <boost/date_time/posix_time/posix_time.hpp>

namespace tarvo::detail {

namespace {

const boost::posix_time::ptime kEpoch(boost::gregorian::date(1970, 1, 1));

}  // namespace

std::int64_t ToMicroseconds(const boost::posix_time::ptime& time) {
    return (time - kEpoch).total_microseconds();
}

boost::posix_time::ptime FromMicroseconds(std::int64_t microseconds) {
    return kEpoch + boost::posix_time::microseconds(microseconds);
}

boost::posix_time::ptime Now() {
    return boost::posix_time::microsec_clock::universal_time();
}

}  // namespace tarvo::detail
