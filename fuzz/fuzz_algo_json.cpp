// SoundAlgo::createFromJSon on arbitrary JSON text: a node (or a list of
// nodes) is built or refused; a built node is written back to JSON and built
// again from that.
#include "FuzzSupport.h"

#include "SoundAlgo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

void roundTrip(SoundAlgo* node)
{
    if (!node)
        return;
    QJsonObject written;
    node->writeToJSon(written);
    node->release();
    if (SoundAlgo* again = SoundAlgo::createFromJSon(written))
        again->release();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QJsonDocument document = fuzzsupport::parseJson(data, size);
    if (document.isObject()) {
        QJsonObject object = document.object();
        roundTrip(SoundAlgo::createFromJSon(object));
    } else if (document.isArray()) {
        QJsonArray array = document.array();
        for (SoundAlgo* node : SoundAlgo::createFromJSon(array))
            roundTrip(node);
    }
    return 0;
}
