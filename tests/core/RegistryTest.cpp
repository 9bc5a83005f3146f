#include "SoundAlgo.h"
#include "SoundAlgoBypass.h"

#include <gtest/gtest.h>

#include <QJsonArray>

namespace {

// A host's own node, registered under its class name.
class HostNode : public SoundAlgoBypass {
public:
    static SoundAlgo* createFromJSon(QJsonObject& object)
    {
        if (object.value("Class").toString() != QStringLiteral("HostNode"))
            return nullptr;
        if (!object.value("Gain").isDouble())
            return nullptr;
        auto* node = new HostNode();
        node->readFromJSon(object);
        return node;
    }
    using SoundAlgo::readFromJSon;
};

class HostNodeBuilder : public SoundAlgo::SoundAlgoJSonBuilder {
public:
    SoundAlgo* build(QJsonObject& object) override { return HostNode::createFromJSon(object); }
    QString getClassName() override { return QStringLiteral("HostNode"); }
};

HostNodeBuilder gBuilder;

QJsonObject hostObject(const QString& id)
{
    QJsonObject o;
    o.insert("Class", "HostNode");
    o.insert("Gain", 2.0);
    o.insert("Id", id);
    return o;
}

} // namespace

TEST(Registry, CreatesRegisteredClasses)
{
    SoundAlgo::declareBuilder(&gBuilder);
    QJsonObject o = hostObject("a");
    SoundAlgo* node = SoundAlgo::createFromJSon(o);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->getId(), QStringLiteral("a"));
    node->release();
}

TEST(Registry, RefusesUnknownAndMalformedObjects)
{
    SoundAlgo::declareBuilder(&gBuilder);
    SoundDebuggableClass::setError("previous", nullptr);

    QJsonObject numeric;
    numeric.insert("Class", 3);
    EXPECT_EQ(SoundAlgo::createFromJSon(numeric), nullptr);
    EXPECT_EQ(SoundDebuggableClass::getError(), QStringLiteral("previous"));

    QJsonObject unknown;
    unknown.insert("Class", "NoSuchNode");
    EXPECT_EQ(SoundAlgo::createFromJSon(unknown), nullptr);
    EXPECT_EQ(SoundDebuggableClass::getError(), QStringLiteral("SoundAlgo::createFromJSon : Unknown class NoSuchNode"));

    QJsonObject incomplete;
    incomplete.insert("Class", "HostNode");
    EXPECT_EQ(SoundAlgo::createFromJSon(incomplete), nullptr);
    EXPECT_EQ(SoundDebuggableClass::getError(), QStringLiteral("SoundAlgo::createFromJSon : Unable to build HostNode"));
}

TEST(Registry, ArraysKeepOrderAndSkipFailures)
{
    SoundAlgo::declareBuilder(&gBuilder);
    QJsonObject unknown;
    unknown.insert("Class", "NoSuchNode");
    QJsonArray array{QJsonValue("text"), hostObject("first"), unknown, hostObject("second")};
    std::vector<SoundAlgo*> nodes = SoundAlgo::createFromJSon(array);
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(nodes[0]->getId(), QStringLiteral("first"));
    EXPECT_EQ(nodes[1]->getId(), QStringLiteral("second"));
    for (auto* n : nodes)
        n->release();
}

TEST(Registry, IdKeyIsOptionalOnRead)
{
    auto* node = new HostNode();
    node->setId("kept");
    QJsonObject noId;
    EXPECT_TRUE(node->readFromJSon(noId));
    EXPECT_EQ(node->getId(), QStringLiteral("kept"));
    QJsonObject numericId;
    numericId.insert("Id", 4);
    node->readFromJSon(numericId);
    EXPECT_EQ(node->getId(), QStringLiteral("kept"));

    node->setId(QString());
    QJsonObject out;
    node->writeToJSon(out);
    EXPECT_TRUE(out.value("Id").isString());
    EXPECT_EQ(out.value("Id").toString(), QString());
    node->release();
}
