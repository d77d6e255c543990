#pragma once

#include <QString>

// A tooltip that shows text exactly as it is, for text from outside: meter
// names, hosts, ports, the system's reasons. The toolkit takes a tooltip that
// looks like markup as rich text, and its rich text loads the images it
// names, from any local path, on the GUI thread (a named pipe blocks it for
// good). Such text comes back escaped, in rich text that names nothing; any
// other text comes back as it is, a plain tooltip.
QString plainToolTip(const QString &text);
