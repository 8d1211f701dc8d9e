#include "devicecheck/sm2point.h"

#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <memory>

namespace {
struct GroupFree {
    void operator()(EC_GROUP* group) const { EC_GROUP_free(group); }
};
struct PointFree {
    void operator()(EC_POINT* point) const { EC_POINT_free(point); }
};

// 1: a point on the curve other than its generator; 0: not on the curve; -1: the generator.
int classify(const QByteArray& key)
{
    QByteArray encoded;
    if (key.size() == 64)
        encoded = QByteArray(1, '\x04') + key;
    else if (key.size() == 65 && key[0] == '\x04')
        encoded = key;
    else
        return 0;

    std::unique_ptr<EC_GROUP, GroupFree> group(EC_GROUP_new_by_curve_name(NID_sm2));
    if (!group)
        return 0;
    std::unique_ptr<EC_POINT, PointFree> point(EC_POINT_new(group.get()));
    if (!point)
        return 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(encoded.constData());
    if (EC_POINT_oct2point(group.get(), point.get(), bytes, static_cast<size_t>(encoded.size()),
                           nullptr)
            != 1
        || EC_POINT_is_on_curve(group.get(), point.get(), nullptr) != 1)
        return 0;
    return EC_POINT_cmp(group.get(), point.get(), EC_GROUP_get0_generator(group.get()), nullptr)
            == 0
        ? -1
        : 1;
}
}

bool isSm2Point(const QByteArray& key)
{
    return classify(key) != 0;
}

bool isSm2Generator(const QByteArray& key)
{
    return classify(key) < 0;
}
