#pragma once

#include <QList>

class QObject;
class QWidget;

// The components a window owns, in creation order: its named descendants,
// each before its own children. Objects without a name, and Qt's internal ones
// ("qt_...", "_q_..."), are parts of a component rather than components, and
// so is everything inside them.
QList<QObject*> OwnedComponents(const QWidget* window);

// A component's "Tag" property (0 when unset); -1 keeps a component out of
// the saved control states.
int ComponentTag(const QObject* component);
