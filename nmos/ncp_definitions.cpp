// The classes and datatypes of the node's control model, in a compact notation read once at
// start (see catalogue::parse):
//   class ID NAME [FIXED-ROLE]      then its own elements, numbered in order per kind:
//     p NAME TYPE r|w               property, read-only or writable
//     m NAME RESULT [ARG:TYPE ...]  method
//     e NAME DATATYPE               event
//   primitive NAME
//   typedef NAME TYPE
//   enum NAME ITEM=VALUE ...
//   struct NAME [PARENT]            then its own fields:  f NAME TYPE
// A TYPE is a datatype name or "any", with "[]" for a sequence and "?" when it may be null.
// Element levels are the depth of the class in the tree (the length of its class id).
#include "ncp_model.h"

namespace nexo::nmos::ncp {

extern const char* const kDefinitions;

const char* const kDefinitions = R"(
class 1 NcObject
p classId NcClassId r
p oid NcOid r
p constantOid NcBoolean r
p owner NcOid? r
p role NcString r
p userLabel NcString? w
p touchpoints NcTouchpoint[]? r
p runtimePropertyConstraints NcPropertyConstraints[]? r
m Get NcMethodResultPropertyValue id:NcPropertyId
m Set NcMethodResult id:NcPropertyId value:any?
m GetSequenceItem NcMethodResultPropertyValue id:NcPropertyId index:NcId
m SetSequenceItem NcMethodResult id:NcPropertyId index:NcId value:any?
m AddSequenceItem NcMethodResultId id:NcPropertyId value:any?
m RemoveSequenceItem NcMethodResult id:NcPropertyId index:NcId
m GetSequenceLength NcMethodResultLength id:NcPropertyId
e PropertyChanged NcPropertyChangedEventData

class 1.1 NcBlock
p enabled NcBoolean r
p members NcBlockMemberDescriptor[] r
m GetMemberDescriptors NcMethodResultBlockMemberDescriptors recurse:NcBoolean
m FindMembersByPath NcMethodResultBlockMemberDescriptors path:NcRolePath
m FindMembersByRole NcMethodResultBlockMemberDescriptors role:NcString caseSensitive:NcBoolean matchWholeString:NcBoolean recurse:NcBoolean
m FindMembersByClassId NcMethodResultBlockMemberDescriptors classId:NcClassId includeDerived:NcBoolean recurse:NcBoolean

class 1.2 NcWorker
p enabled NcBoolean w

class 1.2.2 NcStatusMonitor
p overallStatus NcOverallStatus r
p overallStatusMessage NcString? r
p statusReportingDelay NcUint32 w

class 1.2.2.1 NcReceiverMonitor
p linkStatus NcLinkStatus r
p linkStatusMessage NcString? r
p linkStatusTransitionCounter NcUint64 r
p connectionStatus NcConnectionStatus r
p connectionStatusMessage NcString? r
p connectionStatusTransitionCounter NcUint64 r
p externalSynchronizationStatus NcSynchronizationStatus r
p externalSynchronizationStatusMessage NcString? r
p externalSynchronizationStatusTransitionCounter NcUint64 r
p synchronizationSourceId NcString? r
p streamStatus NcStreamStatus r
p streamStatusMessage NcString? r
p streamStatusTransitionCounter NcUint64 r
p autoResetCountersAndMessages NcBoolean w
m GetLostPacketCounters NcMethodResultCounters
m GetLatePacketCounters NcMethodResultCounters
m ResetCountersAndMessages NcMethodResult

class 1.3 NcManager

class 1.3.1 NcDeviceManager DeviceManager
p ncVersion NcVersionCode r
p manufacturer NcManufacturer r
p product NcProduct r
p serialNumber NcString r
p userInventoryCode NcString? w
p deviceName NcString? w
p deviceRole NcString? w
p operationalState NcDeviceOperationalState r
p resetCause NcResetCause r
p message NcString? r

class 1.3.2 NcClassManager ClassManager
p controlClasses NcClassDescriptor[] r
p datatypes NcDatatypeDescriptor[] r
m GetControlClass NcMethodResultClassDescriptor classId:NcClassId includeInherited:NcBoolean
m GetDatatype NcMethodResultDatatypeDescriptor name:NcName includeInherited:NcBoolean

primitive NcBoolean
primitive NcInt16
primitive NcInt32
primitive NcInt64
primitive NcUint16
primitive NcUint32
primitive NcUint64
primitive NcFloat32
primitive NcFloat64
primitive NcString

typedef NcClassId NcInt32[]
typedef NcId NcUint32
typedef NcName NcString
typedef NcOid NcUint32
typedef NcOrganizationId NcInt32
typedef NcRegex NcString
typedef NcRolePath NcString[]
typedef NcTimeInterval NcInt64
typedef NcUri NcString
typedef NcUuid NcString
typedef NcVersionCode NcString

enum NcDatatypeType Primitive=0 Typedef=1 Struct=2 Enum=3
enum NcDeviceGenericState Unknown=0 NormalOperation=1 Initializing=2 Updating=3 LicensingError=4 InternalError=5
enum NcMethodStatus Ok=200 PropertyDeprecated=298 MethodDeprecated=299 BadCommandFormat=400 Unauthorized=401 BadOid=404 Readonly=405 InvalidRequest=406 Conflict=409 BufferOverflow=413 IndexOutOfBounds=414 ParameterError=417 Locked=423 DeviceError=500 MethodNotImplemented=501 PropertyNotImplemented=502 NotReady=503 Timeout=504
enum NcPropertyChangeType ValueChanged=0 SequenceItemAdded=1 SequenceItemChanged=2 SequenceItemRemoved=3
enum NcResetCause Unknown=0 PowerOn=1 InternalError=2 Upgrade=3 ControllerRequest=4 ManualReset=5
enum NcConnectionStatus Inactive=0 Healthy=1 PartiallyHealthy=2 Unhealthy=3
enum NcLinkStatus AllUp=1 SomeDown=2 AllDown=3
enum NcOverallStatus Inactive=0 Healthy=1 PartiallyHealthy=2 Unhealthy=3
enum NcStreamStatus Inactive=0 Healthy=1 PartiallyHealthy=2 Unhealthy=3
enum NcSynchronizationStatus NotUsed=0 Healthy=1 PartiallyHealthy=2 Unhealthy=3

struct NcDescriptor
f description NcString?
struct NcBlockMemberDescriptor NcDescriptor
f role NcString
f oid NcOid
f constantOid NcBoolean
f classId NcClassId
f userLabel NcString?
f owner NcOid
struct NcClassDescriptor NcDescriptor
f classId NcClassId
f name NcName
f fixedRole NcString?
f properties NcPropertyDescriptor[]
f methods NcMethodDescriptor[]
f events NcEventDescriptor[]
struct NcDatatypeDescriptor NcDescriptor
f name NcName
f type NcDatatypeType
f constraints NcParameterConstraints?
struct NcDatatypeDescriptorEnum NcDatatypeDescriptor
f items NcEnumItemDescriptor[]
struct NcDatatypeDescriptorPrimitive NcDatatypeDescriptor
struct NcDatatypeDescriptorStruct NcDatatypeDescriptor
f fields NcFieldDescriptor[]
f parentType NcName?
struct NcDatatypeDescriptorTypeDef NcDatatypeDescriptor
f parentType NcName
f isSequence NcBoolean
struct NcDeviceOperationalState
f generic NcDeviceGenericState
f deviceSpecificDetails NcString?
struct NcElementId
f level NcUint16
f index NcUint16
struct NcEnumItemDescriptor NcDescriptor
f name NcName
f value NcUint16
struct NcEventDescriptor NcDescriptor
f id NcEventId
f name NcName
f eventDatatype NcName
f isDeprecated NcBoolean
struct NcEventId NcElementId
struct NcFieldDescriptor NcDescriptor
f name NcName
f typeName NcName?
f isNullable NcBoolean
f isSequence NcBoolean
f constraints NcParameterConstraints?
struct NcManufacturer
f name NcString
f organizationId NcOrganizationId?
f website NcUri?
struct NcMethodDescriptor NcDescriptor
f id NcMethodId
f name NcName
f resultDatatype NcName
f parameters NcParameterDescriptor[]
f isDeprecated NcBoolean
struct NcMethodId NcElementId
struct NcMethodResult
f status NcMethodStatus
struct NcMethodResultBlockMemberDescriptors NcMethodResult
f value NcBlockMemberDescriptor[]
struct NcMethodResultClassDescriptor NcMethodResult
f value NcClassDescriptor
struct NcMethodResultDatatypeDescriptor NcMethodResult
f value NcDatatypeDescriptor
struct NcMethodResultError NcMethodResult
f errorMessage NcString
struct NcMethodResultId NcMethodResult
f value NcId
struct NcMethodResultLength NcMethodResult
f value NcUint32?
struct NcMethodResultPropertyValue NcMethodResult
f value any?
struct NcMethodResultCounters NcMethodResult
f value NcCounter[]
struct NcCounter
f name NcString
f value NcUint64
f description NcString?
struct NcParameterConstraints
f defaultValue any?
struct NcParameterConstraintsNumber NcParameterConstraints
f maximum any?
f minimum any?
f step any?
struct NcParameterConstraintsString NcParameterConstraints
f maxCharacters NcUint32?
f pattern NcRegex?
struct NcParameterDescriptor NcDescriptor
f name NcName
f typeName NcName?
f isNullable NcBoolean
f isSequence NcBoolean
f constraints NcParameterConstraints?
struct NcProduct
f name NcString
f key NcString
f revisionLevel NcString
f brandName NcString?
f uuid NcUuid?
f description NcString?
struct NcPropertyChangedEventData
f propertyId NcPropertyId
f changeType NcPropertyChangeType
f value any?
f sequenceItemIndex NcId?
struct NcPropertyConstraints
f propertyId NcPropertyId
f defaultValue any?
struct NcPropertyConstraintsNumber NcPropertyConstraints
f maximum any?
f minimum any?
f step any?
struct NcPropertyConstraintsString NcPropertyConstraints
f maxCharacters NcUint32?
f pattern NcRegex?
struct NcPropertyDescriptor NcDescriptor
f id NcPropertyId
f name NcName
f typeName NcName?
f isReadOnly NcBoolean
f isNullable NcBoolean
f isSequence NcBoolean
f isDeprecated NcBoolean
f constraints NcParameterConstraints?
struct NcPropertyId NcElementId
struct NcTouchpoint
f contextNamespace NcString
struct NcTouchpointNmos NcTouchpoint
f resource NcTouchpointResourceNmos
struct NcTouchpointNmosChannelMapping NcTouchpoint
f resource NcTouchpointResourceNmosChannelMapping
struct NcTouchpointResource
f resourceType NcString
struct NcTouchpointResourceNmos NcTouchpointResource
f id NcUuid
struct NcTouchpointResourceNmosChannelMapping NcTouchpointResourceNmos
f ioId NcString
)";

}  // namespace nexo::nmos::ncp
