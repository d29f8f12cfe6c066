// The component classes' side of the type table.
#pragma once

// Points each implemented row of componentTypeTable at its class's factory. The program's start-up (and the test
// and benchmark mains) call it once, before any graph is loaded; calling it again changes nothing.
void componentTypesInstallFactories();
