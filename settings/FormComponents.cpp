#include "FormComponents.h"

#include <QVariant>
#include <QWidget>

namespace {

void CollectComponents(const QObject* parent, QList<QObject*>& components) {
    for (QObject* child : parent->children()) {
        const QString name = child->objectName();
        if (name.isEmpty() || name.startsWith(QStringLiteral("qt_")) ||
            name.startsWith(QStringLiteral("_q_")))
            continue;
        components.append(child);
        CollectComponents(child, components);
    }
}

} // namespace

QList<QObject*> OwnedComponents(const QWidget* window) {
    QList<QObject*> components;
    CollectComponents(window, components);
    return components;
}

int ComponentTag(const QObject* component) {
    return component->property("Tag").toInt();
}
