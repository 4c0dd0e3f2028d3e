/* Tables of the apportionment database that the acquisition service reads
   and writes. Database default character set: ISO8859_1, SQL dialect 3.

   The tables belong to the apportionment application; this script creates
   them the way that application defines them, as far as the service depends
   on them, so that a test or a fresh installation has a database to work on.
   Statements are separated by ";" and contain no procedural code. */

/* ---- Configuration: communication interfaces and drivers ---- */

create table INTERFACES (
  INTERFACE_ID integer not null,
  GLOBAL_ID    integer not null,
  DESCRICAO    varchar(32) not null,
  CONFIGS      blob not null,
  DLLNAME      varchar(64) not null,
  NAME         varchar(32) not null,
  constraint PK_INTERFACES primary key (INTERFACE_ID)
);

create table DRIVERS (
  DRIVER_ID    integer not null,
  DESCRICAO    varchar(32) not null,
  INTERFACE_ID integer not null,
  DLLNAME      varchar(64) not null,
  GLOBAL_ID    integer not null,
  constraint PK_DRIVERS primary key (DRIVER_ID),
  constraint FK_DRIVERS_1 foreign key (INTERFACE_ID) references INTERFACES (INTERFACE_ID)
);

/* ---- Configuration: variables and their tariff periods ---- */

create table VARIAVEIS (
  VAR_ID    integer not null,
  TIPO      char(1) not null,
  UNIDADE   varchar(8),
  DESCRICAO varchar(64),
  constraint PK_VARIAVEIS primary key (VAR_ID)
);

create table PERIODOS (
  PERIODO_ID integer not null,
  VAR_ID     integer not null,
  COR        integer not null,
  DESCRICAO  varchar(64),
  constraint PK_PERIODOS primary key (PERIODO_ID),
  constraint FK_PERIODOS_1 foreign key (VAR_ID) references VARIAVEIS (VAR_ID)
);
create index IDX_PERIODOS_1 on PERIODOS (VAR_ID);

create table PERIODOS_SEGMENTOS (
  SEGMENTO_ID integer not null,
  PERIODO_ID  integer not null,
  STARTTIME   time not null,
  ENDTIME     time not null,
  DIAS        integer,
  constraint PK_SEGMENTO_ID primary key (SEGMENTO_ID),
  constraint FK_PERIODOS_SEGMENTOS_1 foreign key (PERIODO_ID) references PERIODOS (PERIODO_ID)
);

create table FERIADOS (
  DATA      date not null,
  DESCRICAO varchar(64),
  constraint PK_FERIADOS primary key (DATA)
);

/* ---- Configuration: equipment and their channels ---- */

create table EQUIPAMENTOS (
  EQUIP_ID  integer not null,
  DRIVER_ID integer not null,
  DRV_ADDR1 integer,
  DRV_ADDR2 integer,
  DESCRICAO varchar(64),
  constraint PK_EQUIPAMENTOS primary key (EQUIP_ID),
  constraint FK_EQUIPAMENTOS_1 foreign key (DRIVER_ID) references DRIVERS (DRIVER_ID)
);

create table CANAIS (
  CANAL_ID    integer not null,
  EQUIP_ID    integer not null,
  EQUIP_INDEX integer not null,
  VAR_ID      integer,
  LOCAL_ID    integer,
  TIPOVAR     varchar(1) not null,
  DESCRICAO   varchar(256),
  constraint PK_CANAIS primary key (CANAL_ID),
  constraint FK_CANAIS_1 foreign key (EQUIP_ID) references EQUIPAMENTOS (EQUIP_ID),
  constraint FK_CANAIS_2 foreign key (VAR_ID) references VARIAVEIS (VAR_ID)
);
/* LOCAL_ID refers to the units of the building, kept by the apportionment
   application in tables the service does not use. */
create index IDX_CANAIS_1 on CANAIS (LOCAL_ID);
create index FK_CANAIS_3 on CANAIS (LOCAL_ID);

/* ---- Results written by the service ---- */

create table HISTORICOS_H (
  DATA     timestamp not null,
  VALOR    float,
  CANAL_ID integer not null,
  PERIODO  integer
);
/* The service asks for max(DATA) of one channel whenever it loads the
   installation. A descending index on (CANAL_ID, DATA) answers that from the
   index alone; over 1e5 rows of one channel: about 20 ms without an index,
   1 ms with an ascending one, 0.07 ms with this one. The index is the
   database owner's; the service creates no schema object. */
create descending index IDX_HISTORICOS_H_DESC on HISTORICOS_H (CANAL_ID, DATA);

create table ALARMES (
  EQUIP_ID integer,
  DATA     timestamp not null,
  TEXTO    varchar(255),
  CLASSE   integer
);
/* Same purpose as IDX_HISTORICOS_H_DESC, for the last alarm of an equipment.
   EQUIP_ID is NULL for the service's own events. */
create descending index IDX_ALARMES_DESC on ALARMES (EQUIP_ID, DATA);

create table STATUS_EQUIPS (
  EQUIP_ID integer not null,
  STATUS   integer,
  TEXTO    varchar(255),
  constraint PK_STATUS_EQUIPS primary key (EQUIP_ID)
);

create table STATUS_COMM (
  ID       integer not null,
  MENSAGEM varchar(255),
  constraint PK_STATUS_COMM primary key (ID)
);

/* ---- Live values on request ---- */

/* Written by the apportionment application: the equipment whose live values
   it wants until VALIDADE. Several rows may name the same equipment. */
create table ONLINE_EQUIPS (
  EQUIP_ID integer not null,
  VALIDADE timestamp not null
);

create table ONLINE_VALUES (
  EQUIP_ID integer not null,
  VAR      varchar(64) not null,
  VALOR    varchar(64),
  constraint PK_ONLINE_VALUES primary key (EQUIP_ID, VAR)
);
