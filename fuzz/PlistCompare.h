// Equality of property-list objects as a round trip through a serialisation keeps them:
// dates to the second (the XML form has no fractions), reals to 15 digits, NaN equal to
// NaN.
#pragma once

#include <QDateTime>
#include <QVariant>

#include <cmath>

namespace FuzzSupport {

inline bool samePropertyList(const QVariant& a, const QVariant& b)
{
    if (a.typeId() != b.typeId())
        return false;
    switch (a.typeId()) {
    case QMetaType::QVariantMap: {
        const QVariantMap x = a.toMap(), y = b.toMap();
        if (x.size() != y.size())
            return false;
        for (auto it = x.cbegin(), jt = y.cbegin(); it != x.cend(); ++it, ++jt)
            if (it.key() != jt.key() || !samePropertyList(it.value(), jt.value()))
                return false;
        return true;
    }
    case QMetaType::QVariantList: {
        const QVariantList x = a.toList(), y = b.toList();
        if (x.size() != y.size())
            return false;
        for (qsizetype i = 0; i < x.size(); ++i)
            if (!samePropertyList(x[i], y[i]))
                return false;
        return true;
    }
    case QMetaType::Double: {
        const double x = a.toDouble(), y = b.toDouble();
        if (std::isnan(x) || std::isnan(y))
            return std::isnan(x) && std::isnan(y);
        if (std::isinf(x) || std::isinf(y))
            return x == y;
        return std::fabs(x - y) <= 1e-15 * std::fmax(1.0, std::fmax(std::fabs(x), std::fabs(y)));
    }
    case QMetaType::QDateTime:
        return a.toDateTime().toSecsSinceEpoch() == b.toDateTime().toSecsSinceEpoch();
    default:
        return a == b;
    }
}

} // namespace FuzzSupport
