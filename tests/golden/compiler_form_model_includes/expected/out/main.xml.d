out/main.xml: main.idl shapes/point.idl include/common.idl shapes/ring.idl
