out/point.xml: shapes/point.idl shapes/ring.idl include/common.idl
